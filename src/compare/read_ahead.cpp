#include "compare/read_ahead.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "compare/comparison_side.h"
#include "compare/list_knowledge.h"
#include "compare/piece_digest.h"
#include "compare/status_cache.h"
#include "compare/version_table.h"
#include "fs/examined_open.h"
#include "fs/file_status.h"
#include "fs/name_walk.h"
#include "fs/stamp_trust.h"
#include "state/output.h"
#include "state/run_state.h"

bool read_ahead_second_thread = true;

namespace {

// A file the sort will compare by content, as the list's walk examined it.
struct candidate {
    int32_t entry;  // input position
    const char *name;
    dev_t device;
    ino_t inode;
    off_t size;
};

// What reading one candidate gave. Written by the thread that read it,
// taken in by the run's thread once both are done.
struct learnt_file {
    bool whole = false;  // read whole, of the size examined
    unsigned char length = 0;
    unsigned char prefix[cell_prefix_size];
    change_stamp change{};                // of the version read
    std::unique_ptr<uint64_t[]> digests;  // every piece's, for a large file
    uint32_t count = 0;
    // The fields of the opened file's status that the handling of an equal
    // pair reads (keep_details), of the version read.
    uid_t owner = 0;
    gid_t group = 0;
    mode_t mode = 0;
    nlink_t links = 0;
    blkcnt_t blocks = 0;
    time_t modified = 0;
};

// Two candidates found byte-equal: the versions compared, and whether both
// were read from moments that their stamps prove.
struct equal_pair {
    int32_t first, second;  // candidate indices
    change_stamp first_change, second_change;
    bool proven;
};

// A file whose bytes others of its size are compared with, by a digest of
// its contents (of its pieces' digests, for a large file).
struct contents_key {
    dev_t device;  // 0 when files of any device are compared
    off_t size;
    uint64_t digest;
    bool operator==(const contents_key &) const = default;
};
struct contents_key_hash {
    size_t operator()(const contents_key &key) const {
        return static_cast<size_t>(key.digest ^ (static_cast<uint64_t>(key.size) << 1) ^
                                   static_cast<uint64_t>(key.device));
    }
};
struct first_of_contents {
    int32_t index;  // candidate index
    change_stamp change;
};

// What both threads share while they read: the candidates, in list order;
// one result per candidate; the next chunk to take; the first file of each
// contents met so far.
struct reading {
    compared_files which;
    std::vector<candidate> candidates;
    std::vector<learnt_file> results;
    std::atomic<size_t> next_chunk{0};
    std::atomic<size_t> files_read{0};  // for the progress line
    std::mutex contents_lock;
    std::unordered_map<contents_key, first_of_contents, contents_key_hash> contents;
};

constexpr size_t chunk_length = 64;

// One thread's part: its walk of the list, its buffers, what it found equal
// and how much it read.
struct reader {
    name_walk walk;
    std::unique_ptr<unsigned char[]> own{new unsigned char[block_size]};
    std::unique_ptr<unsigned char[]> other{new unsigned char[block_size]};
    std::vector<equal_pair> pairs;
    uint64_t opens = 0;
    uint64_t bytes = 0;
};

struct stat identity_of(const candidate &file) {
    struct stat examined {};
    examined.st_dev = file.device;
    examined.st_ino = file.inode;
    return examined;
}

bool read_whole_block(reader &self, int fd, const char *name, unsigned char *into, size_t want,
                      off_t offset) {
    const block_read read = read_block_at(fd, name, into, want, offset);
    self.bytes += read.length;
    return !read.failed && read.length == want;
}

// Opens a candidate by its whole name as the version change, for a second
// reading; empty when it is not that version any more.
unique_fd open_again(reader &self, const candidate &file, change_stamp change, bool &proven) {
    const int64_t moment = read_moment();
    struct stat opened;
    unique_fd fd = open_examined_at(AT_FDCWD, file.name, identity_of(file), opened);
    ++self.opens;
    change_stamp now{};
    if (!fd || opened.st_size != file.size || !pack_change_time(opened.st_ctim, now) ||
        !(now == change))
        return unique_fd();
    proven = stamps_prove(opened, moment);
    return fd;
}

// The first file of these contents, or none: this one becomes it.
bool first_of(reading &shared, const contents_key &key, int32_t index, change_stamp change,
              first_of_contents &first) {
    std::lock_guard<std::mutex> locked(shared.contents_lock);
    const auto [found, added] = shared.contents.try_emplace(key, first_of_contents{index, change});
    if (added) return false;
    first = found->second;
    return true;
}

// A small file read whole into self.own: compared with the first file of
// the same contents, read again now.
void compare_with_first_small(reading &shared, reader &self, int32_t index, bool proven,
                              const learnt_file &learnt) {
    const candidate &file = shared.candidates[static_cast<size_t>(index)];
    const size_t size = static_cast<size_t>(file.size);
    const contents_key key{shared.which == compared_files::on_one_device ? file.device : 0,
                           file.size, digest_of(self.own.get(), size)};
    first_of_contents first;
    if (!first_of(shared, key, index, learnt.change, first)) return;
    const candidate &earlier = shared.candidates[static_cast<size_t>(first.index)];
    bool earlier_proven = false;
    unique_fd fd = open_again(self, earlier, first.change, earlier_proven);
    if (!fd || !read_whole_block(self, fd.get(), earlier.name, self.other.get(), size, 0)) return;
    if (std::memcmp(self.own.get(), self.other.get(), size) != 0) return;
    self.pairs.push_back(
        {first.index, index, first.change, learnt.change, earlier_proven && proven});
}

// A large file whose pieces were all digested, fd open on it: compared block
// by block with the first file of the same digests, both read again now.
void compare_with_first_large(reading &shared, reader &self, int32_t index, int fd, bool proven,
                              const learnt_file &learnt) {
    const candidate &file = shared.candidates[static_cast<size_t>(index)];
    const contents_key key{shared.which == compared_files::on_one_device ? file.device : 0,
                           file.size,
                           digest_of(reinterpret_cast<const unsigned char *>(learnt.digests.get()),
                                     learnt.count * sizeof(uint64_t))};
    first_of_contents first;
    if (!first_of(shared, key, index, learnt.change, first)) return;
    const candidate &earlier = shared.candidates[static_cast<size_t>(first.index)];
    bool earlier_proven = false;
    unique_fd other = open_again(self, earlier, first.change, earlier_proven);
    if (!other) return;
    for (off_t offset = 0; offset < file.size; offset += static_cast<off_t>(block_size)) {
        if (stop_requested()) return;
        const size_t want = static_cast<size_t>(std::min<off_t>(block_size, file.size - offset));
        if (!read_whole_block(self, fd, file.name, self.own.get(), want, offset) ||
            !read_whole_block(self, other.get(), earlier.name, self.other.get(), want, offset) ||
            std::memcmp(self.own.get(), self.other.get(), want) != 0)
            return;
    }
    self.pairs.push_back(
        {first.index, index, first.change, learnt.change, earlier_proven && proven});
}

// Reads one candidate as the comparisons would first read it, and more.
void learn(reading &shared, reader &self, int32_t index) {
    const candidate &file = shared.candidates[static_cast<size_t>(index)];
    learnt_file &learnt = shared.results[static_cast<size_t>(index)];
    const int64_t moment = read_moment();
    struct stat opened;
    unique_fd fd = walk_open(self.walk, file.name, identity_of(file), opened);
    ++self.opens;
    if (!fd || opened.st_size != file.size || !pack_change_time(opened.st_ctim, learnt.change))
        return;
    learnt.owner = opened.st_uid;
    learnt.group = opened.st_gid;
    learnt.mode = opened.st_mode;
    learnt.links = opened.st_nlink;
    learnt.blocks = opened.st_blocks;
    learnt.modified = opened.st_mtim.tv_sec;
    const bool proven = stamps_prove(opened, moment);
    if (!is_large(file.size)) {
        const size_t size = static_cast<size_t>(file.size);
        if (!read_whole_block(self, fd.get(), file.name, self.own.get(), size, 0)) return;
        learnt.length = static_cast<unsigned char>(std::min(size, cell_prefix_size));
        std::memcpy(learnt.prefix, self.own.get(), learnt.length);
        learnt.whole = true;
        compare_with_first_small(shared, self, index, proven, learnt);
        return;
    }
    const uint32_t count = piece_count(file.size);
    std::unique_ptr<uint64_t[]> digests(new uint64_t[count]);
    for (off_t offset = 0; offset < file.size; offset += static_cast<off_t>(block_size)) {
        if (stop_requested()) return;
        const size_t want = static_cast<size_t>(std::min<off_t>(block_size, file.size - offset));
        if (!read_whole_block(self, fd.get(), file.name, self.own.get(), want, offset)) return;
        if (offset == 0) {
            learnt.length = static_cast<unsigned char>(cell_prefix_size);
            std::memcpy(learnt.prefix, self.own.get(), cell_prefix_size);
        }
        for (size_t at = 0; at < want; at += piece_size) {
            const uint32_t piece = static_cast<uint32_t>((offset + static_cast<off_t>(at)) /
                                                         static_cast<off_t>(piece_size));
            digests[piece] = digest_of(self.own.get() + at, std::min(piece_size, want - at));
        }
    }
    learnt.digests = std::move(digests);
    learnt.count = count;
    learnt.whole = true;
    compare_with_first_large(shared, self, index, fd.get(), proven, learnt);
}

// Takes chunks of the candidates until none is left.
void read_chunks(reading &shared, reader &self) {
    const size_t total = shared.candidates.size();
    for (;;) {
        const size_t chunk = shared.next_chunk.fetch_add(1, std::memory_order_relaxed);
        const size_t from = chunk * chunk_length;
        if (from >= total || stop_requested()) return;
        const size_t to = std::min(total, from + chunk_length);
        for (size_t index = from; index < to && !stop_requested(); ++index) {
            learn(shared, self, static_cast<int32_t>(index));
            const size_t done = shared.files_read.fetch_add(1, std::memory_order_relaxed) + 1;
            if (progress_drawn_here) progress_names_done(done);
        }
    }
}

struct second_thread {
    reading *shared;
    reader self;
};

void *run_second_thread(void *argument) {
    second_thread &thread = *static_cast<second_thread *>(argument);
    read_chunks(*thread.shared, thread.self);
    return nullptr;
}

bool more_than_one_processor() {
    cpu_set_t processors;
    CPU_ZERO(&processors);
    if (sched_getaffinity(0, sizeof processors, &processors) != 0) return false;
    return CPU_COUNT(&processors) > 1;
}

// The candidates of the list: every regular file that nothing is known of
// yet and that shares its size (and, for the link pass, its device) with a
// file of another inode; in the order of their input positions.
std::vector<candidate> find_candidates(pass_context &pass, compared_files which) {
    list_knowledge &known = *pass.known;
    const status_cache &cache = known.statuses;
    std::vector<candidate> files;
    for (int i = 0; i < known.count; ++i) {
        const char *name = known.list[i];
        const long entry = work_entry_number(name);
        if (entry < 0) continue;
        const status_slot &slot = cache.slots[static_cast<size_t>(entry)];
        if (!slot.known || !slot.current || (slot.type << 12) != S_IFREG) continue;
        if (which == compared_files::on_one_device && slot.size == 0) continue;
        const first_bytes *cell = first_bytes_of(known.versions, entry, false);
        if (cell && cell->read) continue;
        files.push_back({static_cast<int32_t>(entry), name, cache.devices[slot.device],
                         static_cast<ino_t>(uint64_t(slot.inode_high) << 32 | slot.inode_low),
                         static_cast<off_t>(slot.size)});
    }
    // Files are compared within groups of one size (and device).
    const bool by_device = which == compared_files::on_one_device;
    auto same_group = [by_device](const candidate &x, const candidate &y) {
        return x.size == y.size && (!by_device || x.device == y.device);
    };
    std::sort(files.begin(), files.end(), [by_device](const candidate &x, const candidate &y) {
        if (x.size != y.size) return x.size < y.size;
        if (by_device && x.device != y.device) return x.device < y.device;
        if (x.device != y.device) return x.device < y.device;
        return x.inode < y.inode;
    });
    std::vector<candidate> kept;
    for (size_t from = 0; from < files.size();) {
        size_t to = from + 1;
        bool other_inode = false;
        while (to < files.size() && same_group(files[to], files[from])) {
            other_inode = other_inode || !(files[to].inode == files[to - 1].inode &&
                                           files[to].device == files[to - 1].device);
            ++to;
        }
        if (other_inode) kept.insert(kept.end(), files.begin() + from, files.begin() + to);
        from = to;
    }
    std::sort(kept.begin(), kept.end(),
              [](const candidate &x, const candidate &y) { return x.entry < y.entry; });
    return kept;
}

// The version record of an entry whose cell was just taken in, for the
// version read, with the status details read with it; 0 when the cell stands
// for another version.
uint32_t version_read(list_knowledge &known, int32_t entry, const learnt_file &learnt) {
    version_table &table = known.versions;
    first_bytes *cell = first_bytes_of(table, entry, false);
    if (!cell || !cell->read) return 0;
    if (cell->version)
        return version_at(table, cell->version).change == learnt.change ? cell->version : 0;
    const uint32_t number = new_version(table, learnt.change);
    if (!number) return 0;
    cell->version = number;
    struct stat details {};
    details.st_uid = learnt.owner;
    details.st_gid = learnt.group;
    details.st_mode = learnt.mode;
    details.st_nlink = learnt.links;
    details.st_blocks = learnt.blocks;
    details.st_mtim.tv_sec = learnt.modified;
    keep_details(known, version_at(table, number), details);
    return number;
}

// Takes in what both threads learnt, on the run's thread.
void take_in(pass_context &pass, reading &shared, const std::vector<reader *> &readers) {
    list_knowledge &known = *pass.known;
    version_table &table = known.versions;
    for (size_t index = 0; index < shared.candidates.size(); ++index) {
        learnt_file &learnt = shared.results[index];
        if (!learnt.whole) continue;
        const int32_t entry = shared.candidates[index].entry;
        first_bytes *cell = first_bytes_of(table, entry, true);
        hold_first_bytes(*cell, learnt.prefix, learnt.length);
        if (!learnt.digests) continue;
        const uint32_t number = version_read(known, entry, learnt);
        if (!number) continue;
        const uint32_t count = learnt.count;
        version_at(table, number).link =
            new_extra(table, {.digests = learnt.digests.release(), .known = count, .count = count});
    }
    for (reader *self : readers) {
        known.counts.opens += self->opens;
        known.counts.bytes_read += self->bytes;
        for (const equal_pair &pair : self->pairs) {
            const learnt_file &first_read = shared.results[static_cast<size_t>(pair.first)];
            const learnt_file &second_read = shared.results[static_cast<size_t>(pair.second)];
            // Each was read again with the change time it was first read with.
            if (!(first_read.change == pair.first_change) ||
                !(second_read.change == pair.second_change))
                continue;
            const uint32_t first = version_read(
                known, shared.candidates[static_cast<size_t>(pair.first)].entry, first_read);
            const uint32_t second = version_read(
                known, shared.candidates[static_cast<size_t>(pair.second)].entry, second_read);
            if (first && second) join_equal_versions(table, first, second, pair.proven);
        }
    }
}

}  // namespace

void read_ahead(pass_context &pass, compared_files which) {
    if (!pass.known) return;
    if (!prepare_knowledge(*pass.known) || stop_requested()) return;
    reading shared;
    shared.which = which;
    shared.candidates = find_candidates(pass, which);
    if (shared.candidates.empty()) return;
    shared.results.resize(shared.candidates.size());
    progress_step_begins(false, shared.candidates.size());

    reader self;
    std::vector<reader *> readers{&self};
    second_thread thread{&shared, {}};
    pthread_t handle;
    bool started = false;
    if (read_ahead_second_thread && shared.candidates.size() > chunk_length &&
        more_than_one_processor()) {
        pthread_attr_t attributes;
        if (pthread_attr_init(&attributes) == 0) {
            // The run locks its memory: the thread's stack is kept small.
            pthread_attr_setstacksize(&attributes, 256 * 1024);
            started = pthread_create(&handle, &attributes, run_second_thread, &thread) == 0;
            pthread_attr_destroy(&attributes);
        }
    }
    read_chunks(shared, self);
    if (started) {
        pthread_join(handle, nullptr);
        readers.push_back(&thread.self);
    }
    if (stop_requested()) return;
    take_in(pass, shared, readers);
}
