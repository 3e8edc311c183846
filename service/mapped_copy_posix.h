// Copying out of a shared mapping that another process may cut short, without dying of SIGBUS.
#pragma once

#include <cstddef>

namespace zel::vem {

enum class MappedCopy {
    Done,       // every byte copied
    Faulted,    // a page of the range was gone: see copyFromMapping
    Unguarded,  // nothing copied: no guard could be set up, read another way
};

// Copies `count` bytes from `source`, which must lie inside a shared view this process mapped
// page-aligned and a whole number of pages long, at memory speed.
//
// Faulted: the object behind the view was truncated under the copy. The view is broken from the
// faulting page to the end of the range (those pages read as zeros from now on) and must not be
// copied from again; what `dest` holds is undefined. Unguarded: too many copies at once, or the
// SIGBUS handler could not be installed.
//
// How: the first call installs a SIGBUS handler that recognises faults inside a range being
// copied, maps zero pages over the rest of that range so the copy runs to its end, and marks the
// copy faulted. Faults anywhere else go on to the handler installed before, or end the process
// as they would have. A host that replaces the handler later loses only this protection.
MappedCopy copyFromMapping(void* dest, const void* source, size_t count);

}  // namespace zel::vem
