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
#include "common/inplace_function.h"

namespace cardmodel {

// Work kept until it runs (see zr48::InPlaceFunction).
using Task = zr48::InPlaceFunction;

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
