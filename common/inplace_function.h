// A callable kept for later, moved in: work queued on the host's executor,
// work a card or a line keeps until it runs. One that is small (a few
// pointers, a shared pointer, a std::function, a frame's vector beside its
// owner) is held in place, so that keeping it makes no heap block, as a
// std::function does for anything larger than two pointers or not
// trivially copyable. Shared by the host and the card model, which know
// nothing else of each other.
#pragma once

#include <cstddef>
#include <functional>
#include <new>
#include <type_traits>
#include <utility>

namespace zr48 {

class InPlaceFunction {
public:
    InPlaceFunction() noexcept = default;
    InPlaceFunction(std::nullptr_t) noexcept {}  // NOLINT
    template <typename F, typename T = std::decay_t<F>,
              typename = std::enable_if_t<!std::is_same_v<T, InPlaceFunction> &&
                                          std::is_invocable_v<T&>>>
    InPlaceFunction(F&& f) {  // NOLINT: converts implicitly, as std::function does
        if constexpr (kHeldInPlace<T>) {
            new (storage_) T(std::forward<F>(f));
        } else {
            *reinterpret_cast<T**>(storage_) = new T(std::forward<F>(f));
        }
        ops_ = &kOps<T>;
    }
    InPlaceFunction(InPlaceFunction&& other) noexcept { Take(other); }
    InPlaceFunction& operator=(InPlaceFunction&& other) noexcept {
        if (this != &other) {
            Reset();
            Take(other);
        }
        return *this;
    }
    InPlaceFunction(const InPlaceFunction&) = delete;
    InPlaceFunction& operator=(const InPlaceFunction&) = delete;
    ~InPlaceFunction() { Reset(); }

    explicit operator bool() const { return ops_ != nullptr; }
    void operator()() {
        if (!ops_) throw std::bad_function_call();
        ops_->call(storage_);
    }

private:
    static constexpr size_t kInPlace = 48;
    template <typename T>
    static constexpr bool kHeldInPlace = sizeof(T) <= kInPlace &&
                                         alignof(T) <= alignof(std::max_align_t) &&
                                         std::is_nothrow_move_constructible_v<T>;
    struct Ops {
        void (*call)(void* storage);
        void (*move)(void* from, void* to);  // to is empty; from is left empty
        void (*destroy)(void* storage);
    };
    template <typename T>
    static T* Target(void* storage) {
        if constexpr (kHeldInPlace<T>) {
            return std::launder(reinterpret_cast<T*>(storage));
        } else {
            return *reinterpret_cast<T**>(storage);
        }
    }
    template <typename T>
    static constexpr Ops kOps = {
        [](void* storage) { (*Target<T>(storage))(); },
        [](void* from, void* to) {
            if constexpr (kHeldInPlace<T>) {
                new (to) T(std::move(*Target<T>(from)));
                Target<T>(from)->~T();
            } else {
                *reinterpret_cast<T**>(to) = Target<T>(from);
            }
        },
        [](void* storage) {
            if constexpr (kHeldInPlace<T>) {
                Target<T>(storage)->~T();
            } else {
                delete Target<T>(storage);
            }
        },
    };
    void Take(InPlaceFunction& other) noexcept {
        ops_ = other.ops_;
        if (ops_) ops_->move(other.storage_, storage_);
        other.ops_ = nullptr;
    }
    void Reset() noexcept {
        if (ops_) ops_->destroy(storage_);
        ops_ = nullptr;
    }

    alignas(std::max_align_t) unsigned char storage_[kInPlace];
    const Ops* ops_ = nullptr;
};

}  // namespace zr48
