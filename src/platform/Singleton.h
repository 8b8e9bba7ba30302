#pragma once

namespace telvo {

// The one way the library makes a process-wide object: created on first use, exactly once and
// thread-safely, and never destroyed. Worker threads, the reactor and the library's main
// thread may still run during process exit, so no shared object is torn down under them.
// Each call site is its own object (the factory's type names it):
//
//     Registry& Registry::shared() { return processWide([] { return new Registry(); }); }
//
// Test-only resets clear an object's contents; they never replace the object.
template <class Make>
auto& processWide(Make make) {
    static auto* object = make();
    return *object;
}

}  // namespace telvo
