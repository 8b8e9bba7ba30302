#pragma once

namespace telvo {

// The test hooks of the public classes, which an app never sees: the class's internal header
// under src/ declares its specialisation and the class's .cpp defines it. Tests, the demo and
// the benchmarks reach them through the static library.
//
//   resetForTesting<QKUserDefault>();
//
// Drops the class's shared instance (and what it holds) so that the next access starts afresh.
// Hidden, also where T is a public class: a shared build never exports a hook (each
// specialisation takes the template's visibility).
template <class T>
__attribute__((visibility("hidden"))) void resetForTesting();

}  // namespace telvo
