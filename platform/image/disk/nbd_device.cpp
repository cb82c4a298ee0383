#include "platform/image/disk/nbd_device.h"

#include <libnbd.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <list>
#include <map>
#include <unordered_map>
#include <vector>

namespace {

// Requests of this size keep qemu-nbd fast (larger ones cost it more than they save), and
// several of them in flight keep it busy.
constexpr uint64_t kChunk = 64 * 1024;
constexpr size_t kCacheChunks = 512;  // 32 MiB
// Sequential misses fetch up to this many chunks ahead, all in flight at once.
constexpr uint64_t kMaxReadAhead = 16;
constexpr size_t kMaxInFlight = 16;
// Larger reads bypass the cache.
constexpr size_t kDirectRead = 1024 * 1024;
constexpr uint64_t kNoChunk = UINT64_MAX;

// A chunk of the disk, read or being read (`cookie` names its request until then).
// Reading the first chunk of a read-ahead asks for the next one.
struct Chunk {
    uint64_t index;
    std::unique_ptr<uint8_t[]> data;  // kChunk bytes, `length` of them the disk's
    size_t length;
    int64_t cookie;
    bool startsReadAhead;
};

// The last chunks read, the least recently used one going first.
class ChunkCache {
  public:
    // The chunk, which becomes the most recently used.
    Chunk* Find(uint64_t index) {
        auto found = m_where.find(index);
        if (found == m_where.end()) return nullptr;
        m_chunks.splice(m_chunks.begin(), m_chunks, found->second);
        return &*found->second;
    }

    Chunk* Peek(uint64_t index) {
        auto found = m_where.find(index);
        return found == m_where.end() ? nullptr : &*found->second;
    }

    // A new chunk, in the memory of one removed before if there is one.
    Chunk& Add(uint64_t index, size_t length) {
        std::unique_ptr<uint8_t[]> data;
        if (m_spare.empty()) {
            data.reset(new uint8_t[kChunk]);
        } else {
            data = std::move(m_spare.back());
            m_spare.pop_back();
        }
        m_chunks.push_front(Chunk{index, std::move(data), length, 0, false});
        m_where[index] = m_chunks.begin();
        return m_chunks.front();
    }

    void Remove(uint64_t index) {
        auto found = m_where.find(index);
        if (found == m_where.end()) return;
        m_spare.push_back(std::move(found->second->data));
        m_chunks.erase(found->second);
        m_where.erase(found);
    }

    bool Full() const { return m_chunks.size() >= kCacheChunks; }
    Chunk& Oldest() { return m_chunks.back(); }

    // Brings the cached chunks up to date with `count` bytes written at `offset`.
    void Update(uint64_t offset, const uint8_t* data, size_t count) {
        for (uint64_t index = offset / kChunk; index * kChunk < offset + count; ++index) {
            auto found = m_where.find(index);
            if (found == m_where.end()) continue;
            Chunk& chunk = *found->second;
            uint64_t start = std::max(offset, index * kChunk);
            uint64_t end = std::min(offset + count, index * kChunk + chunk.length);
            memcpy(chunk.data.get() + (start - index * kChunk), data + (start - offset),
                   end - start);
        }
    }

  private:
    std::list<Chunk> m_chunks;
    std::unordered_map<uint64_t, std::list<Chunk>::iterator> m_where;
    std::vector<std::unique_ptr<uint8_t[]>> m_spare;
};

class NbdDevice : public BlockDevice {
  public:
    explicit NbdDevice(nbd_handle* nbd)
        : m_nbd(nbd),
          m_size(uint64_t(std::max<int64_t>(nbd_get_size(nbd), 0))),
          m_readOnly(nbd_is_read_only(nbd) != 0) {}

    ~NbdDevice() override {
        WaitForAll();
        nbd_shutdown(m_nbd, 0);
        nbd_close(m_nbd);
    }

    uint64_t Size() const override { return m_size; }
    bool IsReadOnly() const override { return m_readOnly; }

    bool Read(uint64_t offset, void* buffer, size_t count) override {
        if (!Inside(offset, count)) return false;
        if (count >= kDirectRead) return DirectRead(offset, static_cast<uint8_t*>(buffer), count);
        return CachedRead(offset, static_cast<uint8_t*>(buffer), count);
    }

    bool Write(uint64_t offset, const void* data, size_t count) override {
        if (m_readOnly || !Inside(offset, count) || !WaitForAll()) return false;
        const uint8_t* bytes = static_cast<const uint8_t*>(data);
        for (size_t done = 0; done < count;) {
            size_t piece = size_t(std::min<uint64_t>(count - done, kDirectRead));
            if (nbd_pwrite(m_nbd, bytes + done, piece, offset + done, 0) != 0) return false;
            done += piece;
        }
        m_cache.Update(offset, bytes, count);
        return true;
    }

    bool Flush() override { return m_readOnly || (WaitForAll() && nbd_flush(m_nbd, 0) == 0); }

  private:
    bool Inside(uint64_t offset, size_t count) const {
        return offset <= m_size && count <= m_size - offset;
    }

    uint64_t ChunkLength(uint64_t index) const { return std::min(kChunk, m_size - index * kChunk); }

    // Waits for the request `cookie`, and retires it.
    bool Wait(int64_t cookie) {
        for (;;) {
            int done = nbd_aio_command_completed(m_nbd, cookie);
            if (done != 0) return done == 1;
            if (nbd_poll(m_nbd, -1) < 0) return false;
        }
    }

    // Waits for every request still out. A chunk that could not be read is dropped.
    bool WaitForAll() {
        bool ok = true;
        for (const auto& request : m_inFlight) {
            bool read = Wait(request.first);
            Chunk* chunk = request.second == kNoChunk ? nullptr : m_cache.Peek(request.second);
            if (chunk) chunk->cookie = 0;
            if (chunk && !read) m_cache.Remove(chunk->index);
            ok = ok && read;
        }
        m_inFlight.clear();
        return ok;
    }

    // Reads in chunk-sized requests, up to kMaxInFlight of them at once, straight into
    // `buffer`.
    bool DirectRead(uint64_t offset, uint8_t* buffer, size_t count) {
        bool ok = WaitForAll();
        for (size_t done = 0; ok && done < count;) {
            if (m_inFlight.size() == kMaxInFlight) ok = WaitForAll();
            size_t piece = size_t(std::min<uint64_t>(count - done, kChunk));
            int64_t cookie =
                nbd_aio_pread(m_nbd, buffer + done, piece, offset + done, NBD_NULL_COMPLETION, 0);
            if (cookie < 0) ok = false;
            if (cookie > 0) m_inFlight[cookie] = kNoChunk;
            done += piece;
        }
        return WaitForAll() && ok;
    }

    bool CachedRead(uint64_t offset, uint8_t* buffer, size_t count) {
        uint64_t last = (offset + count - 1) / kChunk;
        for (uint64_t index = offset / kChunk; index <= last; ++index) {
            Chunk* chunk = m_cache.Find(index);
            if (!chunk) {
                Fetch(index, last);
                chunk = m_cache.Find(index);
            }
            if (!chunk || !Ready(chunk)) return false;
            uint64_t start = std::max(offset, index * kChunk);
            uint64_t end = std::min<uint64_t>(offset + count, index * kChunk + chunk->length);
            memcpy(buffer + (start - offset), chunk->data.get() + (start - index * kChunk),
                   end - start);
            if (chunk->startsReadAhead) {
                chunk->startsReadAhead = false;
                ReadAhead(m_sequentialNext);
            }
        }
        return true;
    }

    // Whether the chunk's request, if it is still out, brought it; a chunk that could not
    // be read is dropped.
    bool Ready(Chunk* chunk) {
        if (chunk->cookie == 0) return true;
        int64_t cookie = chunk->cookie;
        m_inFlight.erase(cookie);
        chunk->cookie = 0;
        if (Wait(cookie)) return true;
        m_cache.Remove(chunk->index);
        return false;
    }

    // Asks for chunks `first` to `last` and, when the reads run on from the last
    // read-ahead, for more after them.
    void Fetch(uint64_t first, uint64_t last) {
        bool sequential = first == m_sequentialNext;
        Request(first, last + 1);
        if (sequential) {
            ReadAhead(last + 1);
        } else {
            m_readAhead = 0;
        }
    }

    // Asks for the chunks from `first` on, twice as many as the last time (up to
    // kMaxReadAhead), so that they are there by the time the reads come to them.
    void ReadAhead(uint64_t first) {
        m_readAhead = std::min(kMaxReadAhead, m_readAhead * 2 + 1);
        Request(first, first + m_readAhead);
        if (Chunk* chunk = m_cache.Peek(first)) chunk->startsReadAhead = true;
    }

    void Request(uint64_t first, uint64_t end) {
        end = std::min(end, (m_size + kChunk - 1) / kChunk);
        for (uint64_t index = first; index < end; ++index) {
            if (!m_cache.Find(index)) Start(index);
        }
        m_sequentialNext = std::max(first, end);
    }

    void Start(uint64_t index) {
        while (m_cache.Full()) {
            uint64_t oldest = m_cache.Oldest().index;
            Ready(&m_cache.Oldest());
            m_cache.Remove(oldest);
        }
        Chunk& chunk = m_cache.Add(index, size_t(ChunkLength(index)));
        chunk.cookie = nbd_aio_pread(m_nbd, chunk.data.get(), chunk.length, index * kChunk,
                                     NBD_NULL_COMPLETION, 0);
        if (chunk.cookie < 0) {
            m_cache.Remove(index);
        } else {
            m_inFlight[chunk.cookie] = index;
        }
    }

    nbd_handle* m_nbd;
    uint64_t m_size;
    bool m_readOnly;
    ChunkCache m_cache;
    std::map<int64_t, uint64_t> m_inFlight;  // request -> chunk, or kNoChunk
    uint64_t m_sequentialNext = UINT64_MAX;
    uint64_t m_readAhead = 0;
};

// QEMU's options syntax: a comma inside a value is written twice.
std::string EscapeOption(const std::string& value) {
    std::string escaped;
    for (char c : value) escaped += c == ',' ? std::string(",,") : std::string(1, c);
    return escaped;
}

// What qemu-nbd wrote to its standard error, gathered in `fd`: its first line.
std::string ServerMessage(int fd) {
    char text[2048];
    ssize_t got = pread(fd, text, sizeof text - 1, 0);
    std::string message(text, size_t(std::max<ssize_t>(got, 0)));
    message = message.substr(0, message.find('\n'));
    return message;
}

std::string DescribeFailure(const std::string& path, const std::string& server,
                            const std::string& library) {
    size_t lock = server.find("Failed to get ");
    if (lock != std::string::npos && server.find(" lock", lock) != std::string::npos) {
        return path + " is in use by another program: a running QEMU (or one of its tools) " +
               "holds the image's lock, which qemu-nbd cannot get (" + server.substr(lock) + ")";
    }
    return "qemu-nbd cannot serve " + path + ": " + (server.empty() ? library : server);
}

// qemu-nbd started through the shell, so that its standard error goes to `errorFd`
// (by number: a path would need quoting) rather than to ours, and through setpriv, so
// that it ends when we do. (It ends by itself once its client has gone, but not when
// the client goes before the handshake is done: it would wait for another for ever,
// holding the image's lock.)
std::vector<std::string> ServerCommand(const std::string& path, const char* driver,
                                       NbdAccess access, int errorFd) {
    std::string fd = std::to_string(errorFd);
    std::vector<std::string> command = {
        "sh",   "-c",      "exec \"$@\" 2>&" + fd + " " + fd + ">&-",
        "sh",   "setpriv", "--pdeathsig",
        "TERM", "qemu-nbd"};
    if (access == NbdAccess::kReadOnly) command.push_back("--read-only");
    if (access == NbdAccess::kThrowAway) command.push_back("--snapshot");
    command.push_back("--image-opts");
    command.push_back(std::string("driver=") + driver +
                      ",file.driver=file,file.filename=" + EscapeOption(path));
    return command;
}

bool Connect(nbd_handle* nbd, const std::vector<std::string>& command) {
    std::vector<char*> argv;
    for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    // Unaligned writes are the server's to handle; a buffer read into is never used
    // unless the read succeeded, so libnbd need not clear it first.
    return nbd_set_strict_mode(nbd, nbd_get_strict_mode(nbd) & ~LIBNBD_STRICT_ALIGN) == 0 &&
           nbd_set_pread_initialize(nbd, false) == 0 &&
           nbd_connect_systemd_socket_activation(nbd, argv.data()) == 0;
}

std::string AbsolutePath(const std::string& path) {
    char* resolved = realpath(path.c_str(), nullptr);
    if (!resolved) return path;
    std::string absolute = resolved;
    free(resolved);
    return absolute;
}

// A file for qemu-nbd's messages, already unlinked.
int MessageFile() {
    const char* folder = getenv("TMPDIR");
    std::string name = std::string(folder && *folder ? folder : "/tmp") + "/torvoclean-nbd-XXXXXX";
    int fd = mkstemp(&name[0]);
    if (fd >= 0) unlink(name.c_str());
    return fd;
}

}  // namespace

std::unique_ptr<BlockDevice> OpenNbdDevice(const std::string& path, const char* qemuDriver,
                                           NbdAccess access, std::string* error) {
    int errorFd = MessageFile();
    nbd_handle* nbd = errorFd >= 0 ? nbd_create() : nullptr;
    if (!nbd) {
        *error = std::string("cannot start qemu-nbd: ") +
                 (errorFd < 0 ? strerror(errno) : nbd_get_error());
        if (errorFd >= 0) close(errorFd);
        return nullptr;
    }
    bool connected = Connect(nbd, ServerCommand(AbsolutePath(path), qemuDriver, access, errorFd));
    if (!connected) {
        *error = DescribeFailure(path, ServerMessage(errorFd), nbd_get_error());
        nbd_close(nbd);
    }
    close(errorFd);
    return connected ? std::unique_ptr<BlockDevice>(new NbdDevice(nbd)) : nullptr;
}
