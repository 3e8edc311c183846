// The FUSE low-level handlers: unpack the request, ask MountFs, reply.
#include "mount/fuse_ops.h"

#include <sys/statvfs.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "mount/errors.h"

namespace vemcli::mount {

namespace {

MountFs* fs(fuse_req_t req) {
    return static_cast<MountFs*>(fuse_req_userdata(req));
}

void opLookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    fuse_entry_param e{};
    if (const int error = fs(req)->lookup(parent, name, e)) {
        fuse_reply_err(req, error);
    } else if (fuse_reply_entry(req, &e) != 0 && e.ino != 0) {
        fs(req)->forget(e.ino, 1);  // the kernel never got it, so it will never forget it
    }
}

void opForget(fuse_req_t req, fuse_ino_t ino, uint64_t lookups) {
    fs(req)->forget(ino, lookups);
    fuse_reply_none(req);
}

void opForgetMulti(fuse_req_t req, size_t count, fuse_forget_data* forgets) {
    for (size_t i = 0; i < count; ++i) {
        fs(req)->forget(forgets[i].ino, forgets[i].nlookup);
    }
    fuse_reply_none(req);
}

void opGetattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
    struct stat st {};
    double timeout = 0;
    if (const int error = fs(req)->getattr(ino, st, timeout)) {
        fuse_reply_err(req, error);
    } else {
        fuse_reply_attr(req, &st, timeout);
    }
}

void opOpen(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    Handle* handle = nullptr;
    bool directIo = false;
    if (const int error = fs(req)->open(ino, fi->flags, handle, directIo)) {
        fuse_reply_err(req, error);
        return;
    }
    fi->fh = reinterpret_cast<uint64_t>(handle);
    fi->direct_io = directIo ? 1 : 0;
    if (fuse_reply_open(req, fi) != 0) {
        fs(req)->release(handle);  // the opener went away (interrupted)
    }
}

void opRead(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info* fi) {
    auto* handle = reinterpret_cast<Handle*>(fi->fh);
    const int error = fs(req)->read(handle, offset, size, [req](const uint8_t* bytes, size_t n) {
        fuse_reply_buf(req, reinterpret_cast<const char*>(bytes), n);
    });
    if (error != 0) {
        fuse_reply_err(req, error);
    }
}

void opRelease(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
    fs(req)->release(reinterpret_cast<Handle*>(fi->fh));
    fuse_reply_err(req, 0);
}

void opOpendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    DirHandle* dir = nullptr;
    if (const int error = fs(req)->opendir(ino, dir)) {
        fuse_reply_err(req, error);
        return;
    }
    fi->fh = reinterpret_cast<uint64_t>(dir);
    if (fuse_reply_open(req, fi) != 0) {
        fs(req)->releasedir(dir);
    }
}

void opReaddir(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info* fi) {
    const auto* dir = reinterpret_cast<DirHandle*>(fi->fh);
    std::vector<char> buffer(size);
    size_t used = 0;
    const uint64_t total = dir->entries.size() + dir->chunks;
    for (auto i = static_cast<uint64_t>(std::max<off_t>(offset, 0)); i < total; ++i) {
        struct stat st {};
        std::string chunk;
        const char* name = nullptr;
        if (i < dir->entries.size()) {
            const DirEntry& entry = dir->entries[i];
            st.st_ino = entry.ino;
            st.st_mode = entry.folder ? S_IFDIR : S_IFREG;
            name = entry.name.c_str();
        } else {
            // Chunk names are made as they are read: a folder of many frames holds no list.
            chunk = zel::vem::ZarrView::chunkKey(i - dir->entries.size());
            st.st_ino = kUnknownIno;
            st.st_mode = S_IFREG;
            name = chunk.c_str();
        }
        const size_t need = fuse_add_direntry(req, buffer.data() + used, size - used, name, &st,
                                              static_cast<off_t>(i + 1));
        if (need > size - used) {
            break;
        }
        used += need;
    }
    fuse_reply_buf(req, buffer.data(), used);
}

void opReleasedir(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
    fs(req)->releasedir(reinterpret_cast<DirHandle*>(fi->fh));
    fuse_reply_err(req, 0);
}

void opUnlink(fuse_req_t req, fuse_ino_t parent, const char* name) {
    fuse_reply_err(req, fs(req)->unlink(parent, name));
}

void replyXattr(fuse_req_t req, const std::string& value, size_t size) {
    if (size == 0) {
        fuse_reply_xattr(req, value.size());
    } else if (size < value.size()) {
        fuse_reply_err(req, errnoOf(Refusal::BufferTooSmall));
    } else {
        fuse_reply_buf(req, value.data(), value.size());
    }
}

void opGetxattr(fuse_req_t req, fuse_ino_t ino, const char* name, size_t size) {
    std::string value;
    if (const int error = fs(req)->getxattr(ino, name, value)) {
        fuse_reply_err(req, error);
    } else {
        replyXattr(req, value, size);
    }
}

void opListxattr(fuse_req_t req, fuse_ino_t ino, size_t size) {
    std::string names;
    if (const int error = fs(req)->listxattr(ino, names)) {
        fuse_reply_err(req, error);
    } else {
        replyXattr(req, names, size);
    }
}

void opStatfs(fuse_req_t req, fuse_ino_t) {
    struct statvfs st {};
    fs(req)->statfs(st);
    fuse_reply_statfs(req, &st);
}

// Everything that would write, other than unlink.
void readOnly(fuse_req_t req) {
    fuse_reply_err(req, errnoOf(Refusal::ReadOnly));
}
void opSetattr(fuse_req_t req, fuse_ino_t, struct stat*, int, fuse_file_info*) {
    readOnly(req);
}
void opMknod(fuse_req_t req, fuse_ino_t, const char*, mode_t, dev_t) {
    readOnly(req);
}
void opMkdir(fuse_req_t req, fuse_ino_t, const char*, mode_t) {
    readOnly(req);
}
void opRmdir(fuse_req_t req, fuse_ino_t, const char*) {
    readOnly(req);
}
void opSymlink(fuse_req_t req, const char*, fuse_ino_t, const char*) {
    readOnly(req);
}
void opRename(fuse_req_t req, fuse_ino_t, const char*, fuse_ino_t, const char*, unsigned int) {
    readOnly(req);
}
void opLink(fuse_req_t req, fuse_ino_t, fuse_ino_t, const char*) {
    readOnly(req);
}
void opCreate(fuse_req_t req, fuse_ino_t, const char*, mode_t, fuse_file_info*) {
    readOnly(req);
}
void opSetxattr(fuse_req_t req, fuse_ino_t, const char*, const char*, size_t, int) {
    readOnly(req);
}
void opRemovexattr(fuse_req_t req, fuse_ino_t, const char*) {
    readOnly(req);
}

}  // namespace

const fuse_lowlevel_ops* fuseOperations() {
    static const fuse_lowlevel_ops ops = [] {
        fuse_lowlevel_ops o{};
        o.lookup = opLookup;
        o.forget = opForget;
        o.forget_multi = opForgetMulti;
        o.getattr = opGetattr;
        o.setattr = opSetattr;
        o.mknod = opMknod;
        o.mkdir = opMkdir;
        o.unlink = opUnlink;
        o.rmdir = opRmdir;
        o.symlink = opSymlink;
        o.rename = opRename;
        o.link = opLink;
        o.open = opOpen;
        o.read = opRead;
        o.release = opRelease;
        o.opendir = opOpendir;
        o.readdir = opReaddir;
        o.releasedir = opReleasedir;
        o.statfs = opStatfs;
        o.setxattr = opSetxattr;
        o.getxattr = opGetxattr;
        o.listxattr = opListxattr;
        o.removexattr = opRemovexattr;
        o.create = opCreate;
        return o;
    }();
    return &ops;
}

}  // namespace vemcli::mount
