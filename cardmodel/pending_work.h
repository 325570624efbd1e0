// Work a card or a line has asked its environment to do later, by the
// owner's own key: what to run is kept here, not in the environment's item,
// so that the item is a small callable (the owner and a key) and the work is
// not wrapped twice. Keys are handed out in ascending order, so the table is
// a vector in key order: no node per item, and its storage serves item after
// item. The owner's lock guards it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "cardmodel/environment.h"

namespace cardmodel {

class PendingWork {
public:
    // A new key, above every key handed out before.
    uint64_t Add(std::function<void()> fn) {
        uint64_t key = nextKey_++;
        items_.push_back(Item{key, 0, std::move(fn)});
        return key;
    }
    // The environment's id for the work of `key`, once it has one.
    void SetId(uint64_t key, uint64_t id) {
        if (Item* item = Find(key)) item->id = id;
    }
    // Takes the work of `key` out of the table; false when it was cancelled.
    bool Take(uint64_t key, std::function<void()>* fn) {
        Item* item = Find(key);
        if (!item) return false;
        *fn = std::move(item->fn);
        items_.erase(items_.begin() + (item - items_.data()));
        return true;
    }
    void CancelAll(CardEnvironment& env) {
        for (const Item& item : items_) env.Cancel(item.id);
        items_.clear();
    }
    size_t size() const { return items_.size(); }

private:
    struct Item {
        uint64_t key;
        uint64_t id;
        std::function<void()> fn;
    };
    Item* Find(uint64_t key) {
        auto it = std::lower_bound(items_.begin(), items_.end(), key,
                                   [](const Item& item, uint64_t k) { return item.key < k; });
        return it != items_.end() && it->key == key ? &*it : nullptr;
    }

    std::vector<Item> items_;
    uint64_t nextKey_ = 0;
};

}  // namespace cardmodel
