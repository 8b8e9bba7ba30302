#pragma once

#include <cstddef>
#include <functional>
#include <new>
#include <type_traits>
#include <utility>

namespace telvo {

// A block handed to a queue: any callable taking no arguments, moved in and run at most once
// where the queue decides. Callables of up to kInlineSize bytes (a few pointers and a small
// container, e.g. a shared pointer and a vector) live inside the task itself; bigger ones, and
// ones that could throw while being moved, are held on the heap. Move-only; the callable is
// destroyed exactly once, by whichever task holds it last. An empty std::function or a null
// function pointer makes an empty task.
class DispatchTask {
  public:
    static constexpr std::size_t kInlineSize = 56;

    DispatchTask() noexcept = default;
    DispatchTask(std::nullptr_t) noexcept {}

    template <
        class F, class D = std::decay_t<F>,
        class = std::enable_if_t<!std::is_same_v<D, DispatchTask> &&
                                 !std::is_same_v<D, std::nullptr_t> && std::is_invocable_v<D&>>>
    DispatchTask(F&& f) {
        if constexpr (kNullable<D>) {
            if (!f) return;
        }
        if constexpr (fitsInline<D>()) {
            ::new (static_cast<void*>(storage_)) D(std::forward<F>(f));
            ops_ = &kInlineOps<D>;
        } else {
            *reinterpret_cast<D**>(storage_) = new D(std::forward<F>(f));
            ops_ = &kHeapOps<D>;
        }
    }

    DispatchTask(DispatchTask&& other) noexcept { take(other); }
    DispatchTask& operator=(DispatchTask&& other) noexcept {
        if (this != &other) {
            reset();
            take(other);
        }
        return *this;
    }
    DispatchTask(const DispatchTask&) = delete;
    DispatchTask& operator=(const DispatchTask&) = delete;
    ~DispatchTask() { reset(); }

    explicit operator bool() const noexcept { return ops_ != nullptr; }
    // Runs the callable; the task must not be empty. The callable stays held until the task is
    // destroyed, reset or moved from.
    void operator()() { ops_->invoke(storage_); }
    // Destroys the callable now (the task becomes empty).
    void reset() noexcept {
        if (!ops_) return;
        const Ops* ops = ops_;
        ops_ = nullptr;
        ops->destroy(storage_);
    }

  private:
    struct Ops {
        void (*invoke)(void* self);
        // Moves the callable from one storage to the other (empty) one, ending it in the first.
        void (*relocate)(void* from, void* to) noexcept;
        void (*destroy)(void* self) noexcept;
    };

    template <class D>
    static constexpr bool fitsInline() {
        return sizeof(D) <= kInlineSize && alignof(D) <= alignof(std::max_align_t) &&
               std::is_nothrow_move_constructible_v<D>;
    }

    template <class D>
    struct IsFunction : std::false_type {};
    template <class Sig>
    struct IsFunction<std::function<Sig>> : std::true_type {};
    template <class D>
    static constexpr bool kNullable =
        std::is_pointer_v<D> || std::is_member_pointer_v<D> || IsFunction<D>::value;

    template <class D>
    static constexpr Ops kInlineOps{[](void* self) { std::invoke(*static_cast<D*>(self)); },
                                    [](void* from, void* to) noexcept {
                                        D* source = static_cast<D*>(from);
                                        ::new (to) D(std::move(*source));
                                        source->~D();
                                    },
                                    [](void* self) noexcept { static_cast<D*>(self)->~D(); }};

    template <class D>
    static constexpr Ops kHeapOps{
        [](void* self) { std::invoke(**static_cast<D**>(self)); },
        [](void* from, void* to) noexcept { *static_cast<D**>(to) = *static_cast<D**>(from); },
        [](void* self) noexcept { delete *static_cast<D**>(self); }};

    void take(DispatchTask& other) noexcept {
        if (!other.ops_) return;
        other.ops_->relocate(other.storage_, storage_);
        ops_ = other.ops_;
        other.ops_ = nullptr;
    }

    alignas(std::max_align_t) unsigned char storage_[kInlineSize];
    const Ops* ops_ = nullptr;
};

}  // namespace telvo
