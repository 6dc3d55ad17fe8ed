// A controller's root filesystem, a folder or a tar of one: paths inside it
// resolved as the controller would (symbolic links followed within the
// root), and the folders its loader searches for libraries.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace preflight {

// Bad input: a root that is neither a folder nor a readable tar.
struct InputError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

enum class Libc { glibc, musl };

class RootFs {
public:
    // A folder is used in place; a tar is unpacked into a temporary folder
    // (nothing outside it is written, no link or device made), removed when
    // this object goes.
    explicit RootFs(const std::string& path);
    RootFs(const RootFs&) = delete;
    RootFs& operator=(const RootFs&) = delete;
    ~RootFs();

    // The file that PATH (absolute, inside the root) names, symbolic links
    // followed within the root; nothing when it does not exist.
    std::optional<std::string> find(const std::string& path) const;
    // Where the outside file PATH is inside this root, when it is inside
    // (the host given as a path in the root folder).
    std::optional<std::string> inside(const std::string& outside_path) const;
    // The folders the loader searches, in order, for a library: for glibc
    // those of /etc/ld.so.conf (and what it includes), then the default
    // ones; for musl its path file, or its default. LOADER names musl's
    // path file; TRIPLET is the multiarch name (x86_64-linux-gnu).
    std::vector<std::string> library_dirs(Libc libc, const std::string& loader,
                                          const std::string& triplet) const;
    const std::string& folder() const { return folder_; }

private:
    void read_ld_so_conf(const std::string& path, int depth, std::vector<std::string>& out) const;

    std::string folder_;
    bool extracted_ = false;
};

}  // namespace preflight
