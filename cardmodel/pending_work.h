// Work a card or a line has asked its environment to do later, by the
// owner's own key: what to run is kept here, not in the environment's item,
// so that the item is a small callable (the owner and a key) and the work is
// not wrapped twice. Keys are handed out in ascending order, so the table is
// a vector in key order, no node per item: work taken out is marked gone and
// the gone items at its front are dropped, so that the usual case (the
// oldest work runs first) moves nothing, and its storage serves item after
// item. The owner's lock guards it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "cardmodel/environment.h"

namespace cardmodel {

// Work kept until it runs: any callable, moved in. One that is small (the
// owner and a few values, or a frame's vector beside them) is held in place,
// so that keeping it makes no heap block, as a std::function does for
// anything larger than two pointers or not trivially copyable.
class Task {
public:
    Task() noexcept = default;
    Task(std::nullptr_t) noexcept {}  // NOLINT
    template <typename F, typename T = std::decay_t<F>,
              typename = std::enable_if_t<!std::is_same_v<T, Task> && std::is_invocable_v<T&>>>
    Task(F&& f) {  // NOLINT: converts implicitly, as std::function does
        if constexpr (kHeldInPlace<T>) {
            new (storage_) T(std::forward<F>(f));
        } else {
            *reinterpret_cast<T**>(storage_) = new T(std::forward<F>(f));
        }
        ops_ = &kOps<T>;
    }
    Task(Task&& other) noexcept { Take(other); }
    Task& operator=(Task&& other) noexcept {
        if (this != &other) {
            Reset();
            Take(other);
        }
        return *this;
    }
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;
    ~Task() { Reset(); }

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
    void Take(Task& other) noexcept {
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

class PendingWork {
public:
    // A new key, above every key handed out before.
    uint64_t Add(Task fn) {
        uint64_t key = nextKey_++;
        items_.push_back(Item{key, 0, true, std::move(fn)});
        ++live_;
        return key;
    }
    // The environment's id for the work of `key`, once it has one.
    void SetId(uint64_t key, uint64_t id) {
        if (Item* item = Find(key)) item->id = id;
    }
    // Takes the work of `key` out of the table; false when it was cancelled.
    bool Take(uint64_t key, Task* fn) {
        Item* item = Find(key);
        if (!item) return false;
        *fn = std::move(item->fn);
        item->fn = nullptr;
        item->live = false;
        --live_;
        DropGoneFront();
        return true;
    }
    void CancelAll(CardEnvironment& env) {
        for (size_t i = head_; i < items_.size(); ++i) {
            if (items_[i].live) env.Cancel(items_[i].id);
        }
        items_.clear();
        head_ = 0;
        live_ = 0;
    }
    size_t size() const { return live_; }

private:
    struct Item {
        uint64_t key;
        uint64_t id;
        bool live;
        Task fn;
    };
    Item* Find(uint64_t key) {
        auto it = std::lower_bound(items_.begin() + static_cast<ptrdiff_t>(head_), items_.end(),
                                   key, [](const Item& item, uint64_t k) { return item.key < k; });
        return it != items_.end() && it->key == key && it->live ? &*it : nullptr;
    }
    // Steps past the gone items at the front; moves the live ones down only
    // when the gone ones are at least as many.
    void DropGoneFront() {
        while (head_ < items_.size() && !items_[head_].live) ++head_;
        if (head_ == items_.size()) {
            items_.clear();
            head_ = 0;
        } else if (head_ >= 16 && head_ * 2 >= items_.size()) {
            items_.erase(items_.begin(), items_.begin() + static_cast<ptrdiff_t>(head_));
            head_ = 0;
        }
    }

    std::vector<Item> items_;
    size_t head_ = 0;  // items before it are gone
    size_t live_ = 0;
    uint64_t nextKey_ = 0;
};

}  // namespace cardmodel
