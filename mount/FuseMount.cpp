// SPDX-License-Identifier: MIT
#define FUSE_USE_VERSION 314
#include "mount/FuseMount.h"

#include <dirent.h>
#include <fuse3/fuse.h>
#include <fuse3/fuse_lowlevel.h>
#include <malloc.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>
#include <unordered_set>
#include <vector>

#include "jobs/Naming.h"
#include "mount/ArchiveLibrary.h"
#include "mount/ViewTree.h"
#include "platform/SharedFile.h"

namespace kavrin {
namespace {

// What the kernel is told about a file's block size: programs size their reads by it.
constexpr blksize_t kViewBlockSize = 128 * 1024;
// The threads answering the kernel's requests: enough for opens that wait for an index build
// beside readers of other files.
constexpr int kServerThreads = 16;

struct Handle {
    platform::FileHandle file = platform::kInvalidFile;  // a file shown as itself
    std::shared_ptr<OpenArchive> archive;                // a restored file
    uint64_t restoredSize = 0;                           // its size, from its header
    ~Handle() { platform::CloseFile(file); }
};

struct MountState {
    std::string folder;
    bool foreground = false;
    std::unique_ptr<ArchiveLibrary> library;
    std::mutex logMutex;
    // The open files: a mount that ends (a lazy unmount, a stop signal) while files are open
    // gets no release for them, so they are closed here when the servers have ended.
    std::mutex handlesMutex;
    std::unordered_set<Handle*> handles;
};

MountState* g_state = nullptr;
std::atomic<fuse_session*> g_session{nullptr};
std::atomic<ArchiveLibrary*> g_library{nullptr};

void Log(const std::string& line) {
    if (g_state->foreground) {
        std::lock_guard<std::mutex> lock(g_state->logMutex);
        std::fprintf(stderr, "kvn mount: %s\n", line.c_str());
        std::fflush(stderr);
    } else {
        syslog(LOG_ERR, "%s", line.c_str());
    }
}

// The real folder holding the view path's last name, and that name ("" for the root).
void Split(const char* path, std::string* folder, std::string* name) {
    const std::string view(path);
    const size_t slash = view.rfind('/');
    *folder = g_state->folder + view.substr(0, slash == 0 ? 0 : slash);
    *name = view.substr(slash + 1);
}

int Resolve(const char* path, ViewEntry* entry, std::string* realPath) {
    std::string folder, name;
    Split(path, &folder, &name);
    if (name.empty()) {
        *entry = ViewEntry{"", "", false, 0};
        *realPath = g_state->folder;
        return 0;
    }
    if (const int error = FindInView(folder, name, entry); error != 0) return -error;
    *realPath = JoinPath(folder, entry->realName);
    return 0;
}

// Attributes of a restored file: the archive's, with the restored size.
void ShowRestored(struct stat* st, uint64_t size) {
    // A header's size beyond what a file can have is damage, which the first read reports.
    const auto shown = static_cast<off_t>(std::min<uint64_t>(size, INT64_MAX - 511));
    st->st_size = shown;
    st->st_blocks = (shown + 511) / 512;
    st->st_blksize = kViewBlockSize;
}

int Attributes(const std::string& realPath, const ViewEntry& entry, struct stat* st) {
    if (lstat(realPath.c_str(), st) != 0) return -errno;
    if (entry.restored) {
        if (!S_ISREG(st->st_mode)) return -ENOENT;
        ShowRestored(st, entry.restoredSize);
    }
    return 0;
}

void* OnInit(fuse_conn_info* connection, fuse_config* config) {
    // Reads of up to 1 MiB (libfuse sizes the kernel's requests by max_write) and read-ahead
    // as far: a file read in order takes a few round trips per block, not dozens.
    connection->max_write = std::max(connection->max_write, 1u << 20);
    connection->max_readahead = std::max(connection->max_readahead, 1u << 20);
    config->use_ino = 1;
    config->entry_timeout = 0;
    config->attr_timeout = 0;
    config->negative_timeout = 0;
    config->kernel_cache = 0;
    return nullptr;
}

int OnGetattr(const char* path, struct stat* st, fuse_file_info* fi) {
    if (fi != nullptr && fi->fh != 0) {
        const auto* handle = reinterpret_cast<const Handle*>(fi->fh);
        if (handle->archive) {
            // An archive that changed or went since it was opened fails even the kernel's
            // check before it serves cached pages of it.
            if (!StillTheSame(*handle->archive)) return -EIO;
            if (fstat(handle->archive->file, st) != 0) return -errno;
            ShowRestored(st, handle->restoredSize);
            return 0;
        }
        return fstat(handle->file, st) == 0 ? 0 : -errno;
    }
    ViewEntry entry;
    std::string realPath;
    const int found = Resolve(path, &entry, &realPath);
    return found != 0 ? found : Attributes(realPath, entry, st);
}

int OnReadlink(const char* path, char* buffer, size_t size) {
    ViewEntry entry;
    std::string realPath;
    if (const int found = Resolve(path, &entry, &realPath); found != 0) return found;
    const ssize_t length = readlink(realPath.c_str(), buffer, size - 1);
    if (length < 0) return -errno;
    buffer[length] = '\0';
    return 0;
}

int OnReaddir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*,
              fuse_readdir_flags) {
    ViewEntry self;
    std::string folder;
    if (const int found = Resolve(path, &self, &folder); found != 0) return found;
    std::vector<ViewEntry> entries;
    if (!ListView(folder, &entries)) return -errno;
    fill(buffer, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buffer, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    for (const ViewEntry& entry : entries) {
        struct stat st {};
        if (Attributes(JoinPath(folder, entry.realName), entry, &st) != 0) continue;
        fill(buffer, entry.name.c_str(), &st, 0, FUSE_FILL_DIR_PLUS);
    }
    return 0;
}

int OnOpen(const char* path, fuse_file_info* fi) {
    if ((fi->flags & O_ACCMODE) != O_RDONLY || (fi->flags & O_TRUNC) != 0) return -EROFS;
    ViewEntry entry;
    std::string realPath;
    if (const int found = Resolve(path, &entry, &realPath); found != 0) return found;
    auto handle = std::make_unique<Handle>();
    if (entry.restored) {
        int error = 0;
        // A process that gives up on the open (a signal) stops waiting for the archive's index.
        handle->archive =
            g_state->library->Open(realPath, &error, [] { return fuse_interrupted() == 0; });
        if (!handle->archive) return -error;
        handle->restoredSize = handle->archive->sourceSize;
    } else {
        handle->file = platform::OpenShared(realPath);
        if (handle->file == platform::kInvalidFile) return -errno;
    }
    {
        std::lock_guard<std::mutex> lock(g_state->handlesMutex);
        g_state->handles.insert(handle.get());
    }
    fi->fh = reinterpret_cast<uint64_t>(handle.release());
    fi->keep_cache = 0;
    return 0;
}

int OnRead(const char*, char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
    auto* handle = reinterpret_cast<Handle*>(fi->fh);
    if (offset < 0) return -EINVAL;
    int64_t got = 0;
    if (handle->archive) {
        got = g_state->library->Read(handle->archive, reinterpret_cast<uint8_t*>(buffer), size,
                                     static_cast<uint64_t>(offset));
    } else {
        got = platform::ReadAt(handle->file, buffer, size, static_cast<uint64_t>(offset));
        if (got < 0) got = -errno;
    }
    return static_cast<int>(got);
}

int OnRelease(const char*, fuse_file_info* fi) {
    auto* handle = reinterpret_cast<Handle*>(fi->fh);
    {
        std::lock_guard<std::mutex> lock(g_state->handlesMutex);
        g_state->handles.erase(handle);
    }
    delete handle;
    return 0;
}

int OnStatfs(const char*, struct statvfs* st) {
    return statvfs(g_state->folder.c_str(), st) == 0 ? 0 : -errno;
}

// Posted when the session should end: by a stop signal, or by a server thread that saw the
// session end (the file system unmounted).
sem_t g_ended;

void OnStopSignal(int) {
    if (ArchiveLibrary* library = g_library.load()) library->Stop();
    if (fuse_session* session = g_session.load()) fuse_session_exit(session);
    sem_post(&g_ended);
}

// Only interrupts a server thread's wait for the kernel's next request.
void OnWake(int) {}
constexpr int kWakeSignal = SIGUSR1;

// The threads that take the kernel's requests and answer them, instead of libfuse's own loop:
// at its end, that loop cancels its threads (pthread_cancel), and unwinding a cancelled thread
// blocked in read() crashed kvn under qemu-user. These threads end by themselves instead: when
// the file system is unmounted, every wait for a request fails (ENODEV) and ends the session;
// when a stop signal ends it, Stop() interrupts the waits with kWakeSignal until every thread
// has seen the end.
class Servers {
public:
    Servers(fuse_session* session, int count) : session_(session), running_(count) {
        struct sigaction wake {};
        wake.sa_handler = OnWake;  // no SA_RESTART: the wait returns EINTR
        sigemptyset(&wake.sa_mask);
        sigaction(kWakeSignal, &wake, nullptr);
        for (int i = 0; i < count; ++i) threads_.emplace_back([this] { Serve(); });
    }
    // Waits until the session ends, then for every thread.
    void Join() {
        while (!fuse_session_exited(session_)) {
            while (sem_wait(&g_ended) != 0 && errno == EINTR) {
            }
        }
        std::unique_lock<std::mutex> lock(mutex_);
        while (running_ > 0) {
            // A signal sent just before a thread starts to wait is lost: sent again until each
            // has left.
            for (std::thread& thread : threads_) pthread_kill(thread.native_handle(), kWakeSignal);
            left_.wait_for(lock, std::chrono::milliseconds(20));
        }
        lock.unlock();
        for (std::thread& thread : threads_) thread.join();
    }
    // The first error that ended the session, or 0.
    int error() const { return error_; }

private:
    void Serve() {
        fuse_buf buffer{};
        while (!fuse_session_exited(session_)) {
            const int got = fuse_session_receive_buf(session_, &buffer);
            if (got == -EINTR || got == -EAGAIN) continue;
            if (got <= 0) {
                // 0: unmounted (libfuse has ended the session); below: the device failed.
                if (got < 0) error_ = -got;
                fuse_session_exit(session_);
                break;
            }
            fuse_session_process_buf(session_, &buffer);
        }
        std::free(buffer.mem);
        sem_post(&g_ended);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            --running_;
        }
        left_.notify_all();
    }

    fuse_session* session_;
    std::mutex mutex_;
    std::condition_variable left_;
    int running_;
    std::atomic<int> error_{0};
    std::vector<std::thread> threads_;
};

std::string Escape(const std::string& text) {
    // Options are comma-separated; a comma or backslash in a value is escaped.
    std::string out;
    for (char c : text) {
        if (c == ',' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

// Whether /proc/self/mountinfo has a kvn mount at `mountPoint`.
bool IsKvnMount(const std::string& mountPoint) {
    std::ifstream info("/proc/self/mountinfo");
    std::string line;
    while (std::getline(info, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, root, point;
        fields >> id >> parent >> device >> root >> point;
        // Spaces and other bytes in the mount point are written as octal escapes.
        std::string decoded;
        for (size_t i = 0; i < point.size(); ++i) {
            if (point[i] == '\\' && i + 3 < point.size() + 1) {
                decoded += static_cast<char>(std::stoi(point.substr(i + 1, 3), nullptr, 8));
                i += 3;
            } else {
                decoded += point[i];
            }
        }
        const size_t dash = line.find(" - ");
        if (decoded == mountPoint && dash != std::string::npos &&
            line.compare(dash + 3, 9, "fuse.kvn ") == 0) {
            return true;
        }
    }
    return false;
}

// Whether `name` is an executable file in one of the folders of PATH.
bool FindProgram(const char* name) {
    const char* path = std::getenv("PATH");
    std::string folders = path != nullptr ? path : "/usr/bin:/bin";
    for (size_t from = 0; from <= folders.size();) {
        size_t colon = folders.find(':', from);
        if (colon == std::string::npos) colon = folders.size();
        const std::string folder = folders.substr(from, colon - from);
        if (!folder.empty() && access((folder + "/" + name).c_str(), X_OK) == 0) return true;
        from = colon + 1;
    }
    return false;
}

}  // namespace

std::string MountFailureHint(bool haveDevFuse, bool root, bool haveFusermount) {
    if (!haveDevFuse) return ": there is no /dev/fuse (is the fuse module loaded?)";
    if (!root && !haveFusermount) return ": fusermount3 is not installed (Debian's fuse3)";
    return "";
}

int RunMount(const MountOptions& options) {
    // A fixed threshold keeps the heaps of FUSE's many threads trimmed (a dynamic one lets
    // each keep what its largest reads freed, past the cache's bound), and one high enough
    // that an index build's working memory comes from the heaps rather than from mappings
    // faulted in afresh for every small archive. Decoded blocks live in pages of their own
    // (platform/PageBuffer.h) whatever it is.
    mallopt(M_MMAP_THRESHOLD, 8 << 20);
    MountState state;
    state.folder = options.folder;
    state.foreground = options.foreground;
    g_state = &state;

    fuse_operations operations{};
    operations.init = OnInit;
    operations.getattr = OnGetattr;
    operations.readlink = OnReadlink;
    operations.readdir = OnReaddir;
    operations.open = OnOpen;
    operations.read = OnRead;
    operations.release = OnRelease;
    operations.statfs = OnStatfs;

    std::string fuseOptions = "ro,default_permissions,subtype=kvn,fsname=" + Escape(options.folder);
    for (const std::string& option : options.fuseOptions) fuseOptions += "," + option;
    fuse_args args = FUSE_ARGS_INIT(0, nullptr);
    fuse_opt_add_arg(&args, "kvn");
    fuse_opt_add_arg(&args, "-o");
    fuse_opt_add_arg(&args, fuseOptions.c_str());
    fuse* filesystem = fuse_new(&args, &operations, sizeof operations, nullptr);
    fuse_opt_free_args(&args);
    if (filesystem == nullptr) {
        std::fprintf(stderr, "kvn: can't set up the file system (bad -o option?)\n");
        return 1;
    }
    if (fuse_mount(filesystem, options.mountPoint.c_str()) != 0) {
        // fusermount3 has said why on stderr, unless the machine lacks what a mount needs.
        std::fprintf(stderr, "kvn: can't mount on %s%s\n", options.mountPoint.c_str(),
                     MountFailureHint(access("/dev/fuse", F_OK) == 0, geteuid() == 0,
                                      FindProgram("fusermount3"))
                         .c_str());
        fuse_destroy(filesystem);
        return 1;
    }
    if (!options.foreground) openlog("kvn", LOG_PID, LOG_USER);
    fuse_daemonize(options.foreground ? 1 : 0);

    // Threads start only now: a daemon's fork keeps none.
    LibraryOptions libraryOptions;
    libraryOptions.cacheBytes = options.cacheBytes;
    libraryOptions.threads = options.threads;
    libraryOptions.indexFolder = options.indexFolder;
    libraryOptions.log = Log;
    state.library = std::make_unique<ArchiveLibrary>(libraryOptions);
    g_library = state.library.get();
    g_session = fuse_get_session(filesystem);

    sem_init(&g_ended, 0, 0);
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    for (int number : {SIGINT, SIGTERM, SIGHUP}) sigaction(number, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    int failed = 0;
    {
        Servers servers(fuse_get_session(filesystem), kServerThreads);
        servers.Join();
        failed = servers.error();
    }

    state.library->Stop();
    g_session = nullptr;
    g_library = nullptr;
    fuse_unmount(filesystem);
    fuse_destroy(filesystem);
    // No server runs any more: what is still open is closed before the library goes.
    for (Handle* handle : state.handles) delete handle;
    state.handles.clear();
    state.library.reset();
    g_state = nullptr;
    if (failed != 0)
        Log(std::string("the file system ended with an error: ") + std::strerror(failed));
    return 0;
}

int RunUnmount(const std::string& mountPoint) {
    if (!IsKvnMount(mountPoint)) {
        std::fprintf(stderr, "kvn: %s is not a kvn mount\n", mountPoint.c_str());
        return 1;
    }
    const pid_t child = fork();
    if (child == 0) {
        execlp("fusermount3", "fusermount3", "-u", mountPoint.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) status = -1;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return 0;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 127 && geteuid() == 0 &&
        umount2(mountPoint.c_str(), 0) == 0) {
        return 0;  // no fusermount3, but root may unmount directly
    }
    std::fprintf(stderr, "kvn: can't unmount %s (is a file of it still open?)\n",
                 mountPoint.c_str());
    return 1;
}

}  // namespace kavrin
