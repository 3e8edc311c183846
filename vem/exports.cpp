// The flat C interface: thin adapters onto the singleton, and plain callbacks as delegates.
#include "vem/exports.h"

#include <atomic>
#include <new>

#include "vem/vem_interface.h"

namespace zel::vem {

namespace {

// One per registered plain callback. Every delegate made from it holds one reference; clone
// returns the block itself, so all copies carry the same three words and compare equal.
struct CallbackBlock {
    zelvemFilesChangedCallback callback;
    void* userData;
    zelDelegateManager manager;  // {clone, release}; the delegates' manager word points here
    std::atomic<uint32_t> count;
};

void* cloneBlock(void* context) {
    static_cast<CallbackBlock*>(context)->count.fetch_add(1);
    return context;
}

void releaseBlock(void* context) {
    auto* block = static_cast<CallbackBlock*>(context);
    if (block->count.fetch_sub(1) == 1) {
        delete block;
    }
}

void invokeBlock(void* context) {
    auto* block = static_cast<CallbackBlock*>(context);
    block->callback(block->userData);
}

CStringW wide(const char* text) {
    return CStringW(text != nullptr ? text : "", -1);
}

}  // namespace

}  // namespace zel::vem

using namespace zel;
using namespace zel::vem;

extern "C" {

CVemInterface* zelvem_Load() {
    return instance();
}

bool zelvem_drivePresent() {
    return instance()->drivePresent();
}

CDirectoryListing* zelvem_GetDirectoryListing(const char* path, const char* filter) {
    void* storage = ::operator new(sizeof(CDirectoryListing));
    try {
        CVemInterface* vem = instance();
        return new (storage) CDirectoryListing(vem->GetDirectoryListing(wide(path), wide(filter)));
    } catch (...) {
        ::operator delete(storage);
        throw;
    }
}

CDirectoryEntry* zelvem_GetInfo(const char* path) {
    void* storage = ::operator new(sizeof(CDirectoryEntry));
    try {
        CVemInterface* vem = instance();
        return new (storage) CDirectoryEntry(vem->GetInfo(wide(path)));
    } catch (...) {
        ::operator delete(storage);
        throw;
    }
}

bool zelvem_RemoveFile(const char* path) {
    return instance()->RemoveFile(wide(path));
}

zelDelegate zelvem_AddFilesChangedHandler(zelvemFilesChangedCallback callback, void* userData) {
    CVemInterface* vem = instance();
    auto* block = new CallbackBlock{callback, userData, {&cloneBlock, &releaseBlock}, {1}};
    delegate<void()> local(&invokeBlock, block, &block->manager);  // adopts the first reference
    vem->AddFilesChangedHandler(local);                            // the list holds a copy
    delegate<void()> handle(local);                                // and so does the caller
    return handle.release();  // its reference moves into the returned words
}

void zelvem_RemoveFilesChangedHandler(zelDelegate handle) {
    CVemInterface* vem = instance();
    {
        delegate<void()> view(handle);  // borrows the caller's reference for the copy below
        delegate<void()> local(view);   // a reference of its own, released at the block's end
        view.release();
        vem->RemoveFilesChangedHandler(local);
    }
    zelDelegate_Destroy(handle);
}
}
