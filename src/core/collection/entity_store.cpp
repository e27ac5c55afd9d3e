#include "core/collection/entity_store.h"

#include <atomic>
#include <new>
#include <utility>

namespace tessellar {

namespace {

// The core's own stores, for use without a binding (its tests).
struct Box {
    std::atomic<long> holders{1};
    std::vector<Entity> entities;
};

void* make_box() noexcept { return new (std::nothrow) Box(); }
void retain_box(void* box) noexcept { static_cast<Box*>(box)->holders.fetch_add(1); }
void release_box(void* box) noexcept {
    if (static_cast<Box*>(box)->holders.fetch_sub(1) == 1) delete static_cast<Box*>(box);
}
bool shared_box(void* box) noexcept { return static_cast<Box*>(box)->holders.load() > 1; }
std::vector<Entity>& box_entities(void* box) noexcept { return static_cast<Box*>(box)->entities; }

StoreOps installed{make_box, retain_box, release_box, shared_box, box_entities};

// Owns a new store until it is handed over.
struct NewStore {
    void* store = installed.make();
    ~NewStore() {
        if (store) installed.release(store);
    }
};

}  // namespace

void install_store_ops(const StoreOps& ops) noexcept { installed = ops; }

EntityStore::EntityStore(const EntityStore& other) noexcept : store_(other.store_) {
    if (store_) installed.retain(store_);
}

EntityStore::EntityStore(EntityStore&& other) noexcept : store_(std::exchange(other.store_, nullptr)) {}

EntityStore& EntityStore::operator=(EntityStore other) noexcept {
    std::swap(store_, other.store_);
    return *this;
}

EntityStore::~EntityStore() {
    if (store_) installed.release(store_);
}

const std::vector<Entity>& EntityStore::read() const noexcept {
    static const std::vector<Entity> none;
    return store_ ? installed.entities(store_) : none;
}

std::vector<Entity>& EntityStore::write() {
    if (store_ && !installed.shared(store_)) return installed.entities(store_);
    NewStore fresh;
    if (!fresh.store) throw std::bad_alloc();
    if (store_) installed.entities(fresh.store) = installed.entities(store_);
    std::swap(store_, fresh.store);  // the old one is released with `fresh`
    return installed.entities(store_);
}

}  // namespace tessellar
