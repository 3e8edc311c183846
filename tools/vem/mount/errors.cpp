// The one table of the errno values the mount answers with.
#include "mount/errors.h"

#include <cerrno>

namespace vemcli::mount {

int errnoOf(Refusal refusal) {
    switch (refusal) {
        case Refusal::NoEntry:
            return ENOENT;
        case Refusal::NotFolder:
            return ENOTDIR;
        case Refusal::ReadOnly:
            return EROFS;
        case Refusal::DeleteRefused:
            return EACCES;
        case Refusal::StreamDelete:
            return EPERM;
        case Refusal::Io:
            return EIO;
        case Refusal::BadOffset:
            return EINVAL;
        case Refusal::BufferTooSmall:
            return ERANGE;
        case Refusal::NoAttribute:
            return ENODATA;
    }
    return EIO;
}

Refusal refusalOf(zel::vem::MovieFailure failure, bool byName) {
    if (failure == zel::vem::MovieFailure::NotFound && byName) {
        return Refusal::NoEntry;
    }
    return Refusal::Io;
}

}  // namespace vemcli::mount
