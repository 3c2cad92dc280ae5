#include "compare/read_ahead.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "compare/comparison_side.h"
#include "compare/content_compare.h"
#include "compare/list_knowledge.h"
#include "compare/piece_digest.h"
#include "compare/status_cache.h"
#include "compare/version_table.h"
#include "fs/examined_open.h"
#include "fs/file_status.h"
#include "fs/name_walk.h"
#include "fs/settled_counts.h"
#include "fs/stamp_trust.h"
#include "state/output.h"
#include "state/run_state.h"

bool read_ahead_second_thread = true;

namespace {

// A file the sort will compare by content: its input position and its place
// in work_list (for its name). Its device, inode and size are those its
// status slot holds, which nothing changes while the reading lasts.
struct candidate {
    int32_t entry;
    int32_t at;
};

// The fields of an opened file's status that the handling of an equal pair
// reads (keep_details), of the version read.
struct status_details {
    uid_t owner;
    gid_t group;
    mode_t mode;
    nlink_t links;
    blkcnt_t blocks;
    time_t modified;
};

status_details details_of(const struct stat &status) {
    return {status.st_uid,   status.st_gid,    status.st_mode,
            status.st_nlink, status.st_blocks, status.st_mtim.tv_sec};
}

// A version read: which candidate, its change time and status details.
struct version_read {
    int32_t index;  // candidate index
    change_stamp change;
    status_details details;
};

// A large file read whole: every piece's digest.
struct large_file {
    version_read version;
    std::unique_ptr<uint64_t[]> digests;
    uint32_t count;
};

// Two candidates found byte-equal, and whether both were read from moments
// that their stamps prove.
struct equal_pair {
    version_read first, second;
    bool proven;
};

// The first file of each contents met so far, by a digest of its contents
// (of its pieces' digests, for a large file): open addressing over a table
// half as large again as the candidates, index -1 for a free slot.
struct contents_slot {
    uint64_t digest;
    int32_t index;
};

// What both threads share while they read: the candidates, in list order;
// the next chunk to take; the first file of each contents.
struct reading {
    list_knowledge *known;
    bool by_device;  // files are compared only within one device
    std::vector<candidate> candidates;
    // Where each chunk of candidates starts, and the end: up to
    // chunk_length files and chunk_bytes bytes each, so that both threads
    // have work also when a few large files are all there is.
    std::vector<size_t> chunk_starts;
    std::atomic<size_t> next_chunk{0};
    std::atomic<size_t> files_read{0};  // for the progress line
    std::mutex contents_lock;
    std::vector<contents_slot> contents;
};

constexpr size_t chunk_length = 64;
constexpr off_t chunk_bytes = off_t(16) << 20;

// One thread's part: its walk of the list, its buffers, what it learnt that
// the run's thread takes in afterwards, and how much it read.
struct reader {
    name_walk walk;
    std::unique_ptr<unsigned char[]> own{new unsigned char[block_size]};
    std::unique_ptr<unsigned char[]> other{new unsigned char[block_size]};
    std::vector<large_file> large;
    std::vector<equal_pair> pairs;
    uint64_t opens = 0;
    uint64_t bytes = 0;
};

const status_slot &slot_of(const reading &shared, const candidate &file) {
    return shared.known->statuses.slots[static_cast<size_t>(file.entry)];
}

const char *name_of(const reading &shared, const candidate &file) {
    return shared.known->list[file.at];
}

off_t size_of(const reading &shared, const candidate &file) {
    return static_cast<off_t>(slot_of(shared, file).size);
}

struct stat identity_of(const reading &shared, const candidate &file) {
    const status_slot &slot = slot_of(shared, file);
    struct stat examined {};
    examined.st_dev = shared.known->statuses.devices[slot.device];
    examined.st_ino = static_cast<ino_t>(uint64_t(slot.inode_high) << 32 | slot.inode_low);
    examined.st_size = static_cast<off_t>(slot.size);
    return examined;
}

// Two candidates the sort compares by content with each other.
bool compared_together(const reading &shared, const candidate &x, const candidate &y) {
    const status_slot &a = slot_of(shared, x), &b = slot_of(shared, y);
    return a.size == b.size && (!shared.by_device || a.device == b.device);
}

bool read_whole_block(reader &self, int fd, const char *name, unsigned char *into, size_t want,
                      off_t offset) {
    const block_read read = read_block_at(fd, name, into, want, offset);
    self.bytes += read.length;
    return !read.failed && read.length == want;
}

// Opens a candidate by its whole name for a second reading: version tells
// the version then open and its details. Empty when it is not the file of the
// size examined any more.
unique_fd open_again(const reading &shared, reader &self, version_read &version, bool &proven) {
    const candidate &file = shared.candidates[static_cast<size_t>(version.index)];
    const struct stat examined = identity_of(shared, file);
    const int64_t moment = read_moment();
    struct stat opened;
    unique_fd fd = open_examined_at(AT_FDCWD, name_of(shared, file), examined, opened);
    ++self.opens;
    if (!fd || opened.st_size != examined.st_size ||
        !pack_change_time(opened.st_ctim, version.change))
        return unique_fd();
    version.details = details_of(opened);
    proven = stamps_prove(opened, moment);
    return fd;
}

// The first file of these contents, in first: none when this one becomes it.
bool first_of(reading &shared, uint64_t digest, const version_read &version, version_read &first) {
    const candidate &file = shared.candidates[static_cast<size_t>(version.index)];
    std::lock_guard<std::mutex> locked(shared.contents_lock);
    const size_t capacity = shared.contents.size();
    for (size_t at = static_cast<size_t>(digest % capacity);; at = (at + 1) % capacity) {
        contents_slot &slot = shared.contents[at];
        if (slot.index < 0) {
            slot = {digest, version.index};
            return false;
        }
        if (slot.digest == digest &&
            compared_together(shared, shared.candidates[static_cast<size_t>(slot.index)], file)) {
            first = {slot.index, {}, {}};
            return true;
        }
    }
}

// A small file read whole into self.own: compared with the first file of the
// same contents, read again now.
void compare_with_first_small(reading &shared, reader &self, const version_read &version,
                              bool proven) {
    const candidate &file = shared.candidates[static_cast<size_t>(version.index)];
    const size_t size = static_cast<size_t>(size_of(shared, file));
    version_read first;
    if (!first_of(shared, digest_of(self.own.get(), size), version, first)) return;
    const candidate &earlier = shared.candidates[static_cast<size_t>(first.index)];
    bool earlier_proven = false;
    unique_fd fd = open_again(shared, self, first, earlier_proven);
    if (!fd ||
        !read_whole_block(self, fd.get(), name_of(shared, earlier), self.other.get(), size, 0))
        return;
    if (std::memcmp(self.own.get(), self.other.get(), size) != 0) return;
    self.pairs.push_back({first, version, earlier_proven && proven});
}

// A large file whose pieces were all digested, fd open on it: compared block
// by block with the first file of the same digests, both read again now.
void compare_with_first_large(reading &shared, reader &self, const large_file &large, int fd,
                              bool proven) {
    const candidate &file = shared.candidates[static_cast<size_t>(large.version.index)];
    const off_t size = size_of(shared, file);
    const uint64_t digest = digest_of(reinterpret_cast<const unsigned char *>(large.digests.get()),
                                      large.count * sizeof(uint64_t));
    version_read first;
    if (!first_of(shared, digest, large.version, first)) return;
    const candidate &earlier = shared.candidates[static_cast<size_t>(first.index)];
    bool earlier_proven = false;
    unique_fd other = open_again(shared, self, first, earlier_proven);
    if (!other) return;
    for (off_t offset = 0; offset < size; offset += static_cast<off_t>(block_size)) {
        if (stop_requested()) return;
        const size_t want = static_cast<size_t>(std::min<off_t>(block_size, size - offset));
        if (!read_whole_block(self, fd, name_of(shared, file), self.own.get(), want, offset) ||
            !read_whole_block(self, other.get(), name_of(shared, earlier), self.other.get(), want,
                              offset) ||
            std::memcmp(self.own.get(), self.other.get(), want) != 0)
            return;
    }
    self.pairs.push_back({first, large.version, earlier_proven && proven});
}

// Reads one candidate whole: a small file's first bytes go into its cell at
// once (the cells of the candidates are made before the reading starts, and
// each is written by the thread that reads its file alone); what needs a
// version record waits for the run's thread.
void learn(reading &shared, reader &self, int32_t index) {
    const candidate &file = shared.candidates[static_cast<size_t>(index)];
    const struct stat examined = identity_of(shared, file);
    const char *name = name_of(shared, file);
    const int64_t moment = read_moment();
    struct stat opened;
    unique_fd fd = walk_open(self.walk, name, examined, opened);
    ++self.opens;
    version_read version{index, {}, details_of(opened)};
    if (!fd || opened.st_size != examined.st_size ||
        !pack_change_time(opened.st_ctim, version.change))
        return;
    const bool proven = stamps_prove(opened, moment);
    const off_t size = examined.st_size;
    if (!is_large(size)) {
        const size_t length = static_cast<size_t>(size);
        if (!read_whole_block(self, fd.get(), name, self.own.get(), length, 0)) return;
        first_bytes *cell = first_bytes_of(shared.known->versions, file.entry, false);
        hold_first_bytes(*cell, self.own.get(), std::min(length, cell_prefix_size));
        compare_with_first_small(shared, self, version, proven);
        return;
    }
    large_file large{version, std::unique_ptr<uint64_t[]>(new uint64_t[piece_count(size)]),
                     piece_count(size)};
    unsigned char prefix[cell_prefix_size];
    for (off_t offset = 0; offset < size; offset += static_cast<off_t>(block_size)) {
        if (stop_requested()) return;
        const size_t want = static_cast<size_t>(std::min<off_t>(block_size, size - offset));
        if (!read_whole_block(self, fd.get(), name, self.own.get(), want, offset)) return;
        if (offset == 0) std::memcpy(prefix, self.own.get(), cell_prefix_size);
        for (size_t at = 0; at < want; at += piece_size) {
            const uint32_t piece = static_cast<uint32_t>((offset + static_cast<off_t>(at)) /
                                                         static_cast<off_t>(piece_size));
            large.digests[piece] = digest_of(self.own.get() + at, std::min(piece_size, want - at));
        }
    }
    first_bytes *cell = first_bytes_of(shared.known->versions, file.entry, false);
    hold_first_bytes(*cell, prefix, cell_prefix_size);
    compare_with_first_large(shared, self, large, fd.get(), proven);
    self.large.push_back(std::move(large));
}

// Takes chunks of the candidates until none is left.
void read_chunks(reading &shared, reader &self) {
    for (;;) {
        const size_t chunk = shared.next_chunk.fetch_add(1, std::memory_order_relaxed);
        if (chunk + 1 >= shared.chunk_starts.size() || stop_requested()) return;
        const size_t from = shared.chunk_starts[chunk], to = shared.chunk_starts[chunk + 1];
        for (size_t index = from; index < to && !stop_requested(); ++index) {
            learn(shared, self, static_cast<int32_t>(index));
            const size_t done = shared.files_read.fetch_add(1, std::memory_order_relaxed) + 1;
            if (progress_drawn_here) progress_names_done(done);
        }
    }
}

bool more_than_one_processor() {
    cpu_set_t processors;
    CPU_ZERO(&processors);
    if (sched_getaffinity(0, sizeof processors, &processors) != 0) return false;
    return CPU_COUNT(&processors) > 1;
}

// Runs work(self) on this thread and, when there is enough of it and the
// process may use a second processor, work(second) on a second thread at the
// same time; work takes its parts of the job from what the two share, so
// that it is all done either way. True when the second thread ran.
template <class state_type, class work_type>
bool on_two_threads(state_type &self, state_type &second, bool enough, work_type &work) {
    struct started_work {
        work_type *work;
        state_type *self;
    } other{&work, &second};
    auto run = [](void *argument) -> void * {
        started_work &job = *static_cast<started_work *>(argument);
        (*job.work)(*job.self);
        return nullptr;
    };
    pthread_t handle;
    bool started = false;
    if (read_ahead_second_thread && enough && more_than_one_processor()) {
        pthread_attr_t attributes;
        if (pthread_attr_init(&attributes) == 0) {
            // The run locks its memory: the thread's stack is kept small.
            pthread_attr_setstacksize(&attributes, 256 * 1024);
            started = pthread_create(&handle, &attributes, run, &other) == 0;
            pthread_attr_destroy(&attributes);
        }
    }
    work(self);
    if (started) pthread_join(handle, nullptr);
    return started;
}

// The candidates of the list: every regular file that nothing is known of
// yet and that shares its size (and, for the link pass, its device) with a
// file of another inode; in the order of their input positions.
std::vector<candidate> find_candidates(const reading &shared, compared_files which) {
    const list_knowledge &known = *shared.known;
    const std::vector<status_slot> &slots = known.statuses.slots;
    // Sorted by a key of size and device (the group), then inode.
    struct keyed {
        uint64_t group;
        uint64_t inode;
        candidate file;
    };
    std::vector<keyed> files;
    files.reserve(static_cast<size_t>(known.count));
    for (int at = 0; at < known.count; ++at) {
        const long entry = work_entry_number(known.list[at]);
        if (entry < 0) continue;
        const status_slot &slot = slots[static_cast<size_t>(entry)];
        if (!slot.known || !slot.current || (slot.type << 12) != S_IFREG) continue;
        if (which == compared_files::on_one_device && slot.size == 0) continue;
        const first_bytes *cell =
            first_bytes_of(const_cast<version_table &>(known.versions), entry, false);
        if (cell && cell->read) continue;
        const uint64_t group = uint64_t(slot.size) << 8 | (shared.by_device ? slot.device : 0);
        const uint64_t inode =
            uint64_t(slot.device) << 48 | uint64_t(slot.inode_high) << 32 | slot.inode_low;
        files.push_back({group, inode, {static_cast<int32_t>(entry), at}});
    }
    std::sort(files.begin(), files.end(), [](const keyed &x, const keyed &y) {
        return x.group != y.group ? x.group < y.group : x.inode < y.inode;
    });
    std::vector<candidate> kept;
    for (size_t from = 0; from < files.size();) {
        size_t to = from + 1;
        bool other_inode = false;
        for (; to < files.size() && files[to].group == files[from].group; ++to)
            other_inode = other_inode || files[to].inode != files[to - 1].inode;
        if (other_inode)
            for (size_t k = from; k < to; ++k) kept.push_back(files[k].file);
        from = to;
    }
    std::sort(kept.begin(), kept.end(),
              [](const candidate &x, const candidate &y) { return x.entry < y.entry; });
    return kept;
}

// The version record of the entry whose cell the reading wrote, for the
// version read, with its status details; 0 when the cell stands for another
// version.
uint32_t record_of(list_knowledge &known, const reading &shared, const version_read &version) {
    const int32_t entry = shared.candidates[static_cast<size_t>(version.index)].entry;
    version_table &table = known.versions;
    first_bytes *cell = first_bytes_of(table, entry, false);
    if (!cell || !cell->read) return 0;
    if (cell->version)
        return version_at(table, cell->version).change == version.change ? cell->version : 0;
    const uint32_t number = new_version(table, version.change);
    if (!number) return 0;
    cell->version = number;
    struct stat details {};
    details.st_uid = version.details.owner;
    details.st_gid = version.details.group;
    details.st_mode = version.details.mode;
    details.st_nlink = version.details.links;
    details.st_blocks = version.details.blocks;
    details.st_mtim.tv_sec = version.details.modified;
    keep_details(known, version_at(table, number), details);
    return number;
}

// Takes in what the readers learnt, on the run's thread.
void take_in(pass_context &pass, const reading &shared, const std::vector<reader *> &readers) {
    list_knowledge &known = *pass.known;
    version_table &table = known.versions;
    for (reader *self : readers) {
        known.counts.opens += self->opens;
        known.counts.bytes_read += self->bytes;
        for (large_file &large : self->large) {
            const uint32_t number = record_of(known, shared, large.version);
            if (!number) continue;
            version_at(table, number).link = new_extra(
                table,
                {.digests = large.digests.release(), .known = large.count, .count = large.count});
        }
    }
    for (reader *self : readers) {
        for (const equal_pair &pair : self->pairs) {
            const uint32_t first = record_of(known, shared, pair.first);
            const uint32_t second = record_of(known, shared, pair.second);
            if (first && second) join_equal_versions(table, first, second, pair.proven);
        }
    }
}

// ---- Examining the names ----------------------------------------------------

// The names are examined in chunks of the list, each by one thread with its
// own walk of the list; the run's thread takes in every status, its own
// chunks' and those the second thread hands over, a few chunks at a time.
constexpr size_t names_per_chunk = 1024;
constexpr size_t chunks_handed_over = 8;

struct examined_name {
    int32_t at;  // place in work_list
    int result;  // of the examination: 0, or -1 when it failed
    struct stat status;
};

struct examining {
    list_knowledge *known;
    size_t chunks;
    std::atomic<size_t> next_chunk{0};
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::vector<examined_name>> buffers;  // chunks_handed_over of them
    std::vector<size_t> free_buffers, done_buffers;
    size_t second_busy = 0;  // chunks the second thread has taken and not handed over
};

// One thread's part of the examining: its walk, and whether it is the run's.
struct examiner {
    name_walk walk;
    bool runs_thread = false;
    std::vector<examined_name> own;
};

void examine_chunk(const examining &shared, examiner &self, size_t chunk,
                   std::vector<examined_name> &into) {
    const size_t from = chunk * names_per_chunk;
    const size_t to = std::min(static_cast<size_t>(shared.known->count), from + names_per_chunk);
    into.clear();
    for (size_t at = from; at < to && !stop_requested(); ++at) {
        examined_name examined{static_cast<int32_t>(at), 0, {}};
        examined.result = walk_status(self.walk, shared.known->list[at], examined.status);
        into.push_back(examined);
    }
}

// The run's thread takes in what was examined, as examine_listed_names does.
void take_in_examined(pass_context &pass, const std::vector<examined_name> &chunk) {
    for (const examined_name &examined : chunk) {
        file_look look;
        look.name = pass.known->list[examined.at];
        look.entry = work_entry_number(look.name);
        if (look.entry < 0) continue;
        ++pass.known->counts.status_queries;
        if (examined.result != 0) continue;
        look.status = examined.status;
        // A block count that may not have settled is waited for, as
        // view_status does, and the name examined again.
        if (count_may_lag(look.name, look.status) && settle_counts(look.name, look.status.st_dev) &&
            view_status(pass.view, look.name, look.status) != 0)
            continue;
        look.fresh = true;
        remember_status(pass, look.entry, look.status);
        fold_link_count(pass, look);
        progress_name();
    }
}

// Examines every listed name once, in the order of work_list, on two threads
// where that is worth it; as examine_listed_names does on one.
void examine_ahead(pass_context &pass) {
    list_knowledge &known = *pass.known;
    const size_t chunks =
        (static_cast<size_t>(known.count) + names_per_chunk - 1) / names_per_chunk;
    // The second thread looks at the files as they are: a picture with
    // changes in it (never at the start of a pass) is looked through here.
    if (chunks < 4 || (pass.view.pictured() && !pass.view.picture->entries.empty())) {
        examine_listed_names(pass);
        return;
    }
    progress_step_begins(false, static_cast<uint64_t>(known.count));
    examining shared;
    shared.known = &known;
    shared.chunks = chunks;
    shared.buffers.resize(chunks_handed_over);
    for (size_t i = 0; i < chunks_handed_over; ++i) shared.free_buffers.push_back(i);
    examiner self, second;
    self.runs_thread = true;
    // Takes in the chunks handed over so far; with wait, until the second
    // thread has handed over every chunk it took.
    auto take_in_handed_over = [&](bool wait) {
        std::unique_lock<std::mutex> locked(shared.lock);
        for (;;) {
            while (!shared.done_buffers.empty()) {
                const size_t buffer = shared.done_buffers.back();
                shared.done_buffers.pop_back();
                locked.unlock();
                take_in_examined(pass, shared.buffers[buffer]);
                locked.lock();
                shared.free_buffers.push_back(buffer);
                shared.changed.notify_all();
            }
            if (!wait || shared.second_busy == 0) return;
            shared.changed.wait(locked);
        }
    };
    auto examine = [&](examiner &thread) {
        for (;;) {
            if (thread.runs_thread) {
                const size_t chunk = shared.next_chunk.fetch_add(1, std::memory_order_relaxed);
                if (chunk >= shared.chunks || stop_requested()) break;
                examine_chunk(shared, thread, chunk, thread.own);
                take_in_examined(pass, thread.own);
                take_in_handed_over(false);
                continue;
            }
            // The second thread: a free buffer first, then a chunk for it.
            size_t buffer;
            {
                std::unique_lock<std::mutex> locked(shared.lock);
                shared.changed.wait(locked, [&] { return !shared.free_buffers.empty(); });
                buffer = shared.free_buffers.back();
                shared.free_buffers.pop_back();
                ++shared.second_busy;
            }
            const size_t chunk = shared.next_chunk.fetch_add(1, std::memory_order_relaxed);
            const bool taken = chunk < shared.chunks && !stop_requested();
            if (taken) examine_chunk(shared, thread, chunk, shared.buffers[buffer]);
            std::lock_guard<std::mutex> locked(shared.lock);
            (taken ? shared.done_buffers : shared.free_buffers).push_back(buffer);
            --shared.second_busy;
            shared.changed.notify_all();
            if (!taken) return;
        }
        take_in_handed_over(true);
    };
    on_two_threads(self, second, true, examine);
}

// ---- Longer first bytes where they agree ------------------------------------

// Files of one group whose first bytes agree and that are not known to be
// equal would be read side by side by the sort, to find where they part. So
// that the sort orders them from what is known, each is read again as far as
// it takes (up to prefix_limit bytes) to tell it from the others of its run,
// and keeps that many first bytes, for the version read.
constexpr size_t longer_prefix_limit = 1024;

// The first bytes of one file of a run, read again.
struct head {
    version_read version;
    std::vector<unsigned char> bytes;
    size_t keep = 0;  // how many of them tell it from the others
};

// The runs to read again, each a range of files in heads; runs are taken
// one at a time by either thread.
struct head_runs {
    std::vector<head> heads;
    std::vector<size_t> starts;  // of each run in heads, and the end
    std::atomic<size_t> next_run{0};
};

// The offset of the first chunk in which two runs of bytes differ, or their
// common length when one is the start of the other.
size_t first_parting(const std::vector<unsigned char> &x, const std::vector<unsigned char> &y) {
    const size_t length = std::min(x.size(), y.size());
    size_t at = 0;
    while (at < length && x[at] == y[at]) ++at;
    return at < length ? at & ~(chunk_size - 1) : length;
}

// The order of two heads as the comparison orders files: by their first
// differing chunk, read as a little-endian signed 64-bit number.
bool head_before(const head &x, const head &y) {
    const size_t at = first_parting(x.bytes, y.bytes);
    const size_t length = std::min(x.bytes.size(), y.bytes.size());
    if (at >= length) return false;
    unsigned char a[chunk_size] = {}, b[chunk_size] = {};
    std::memcpy(a, x.bytes.data() + at, std::min(chunk_size, x.bytes.size() - at));
    std::memcpy(b, y.bytes.data() + at, std::min(chunk_size, y.bytes.size() - at));
    return compare_chunks(a, b) < 0;
}

// Reads the heads of one run and finds how many bytes each must keep: the
// first chunk past where it parts from its neighbours in order (any other
// file of the run parts from it no later than one of them does).
void read_run(const reading &shared, reader &self, head *first, head *last) {
    for (head *h = first; h != last; ++h) {
        const candidate &file = shared.candidates[static_cast<size_t>(h->version.index)];
        const size_t want =
            std::min(static_cast<size_t>(size_of(shared, file)), longer_prefix_limit);
        bool proven;
        unique_fd fd = open_again(shared, self, h->version, proven);
        h->bytes.resize(want);
        if (!fd ||
            !read_whole_block(self, fd.get(), name_of(shared, file), h->bytes.data(), want, 0)) {
            h->bytes.clear();
            h->keep = 0;
        }
    }
    std::sort(first, last, [](const head &x, const head &y) {
        if (x.bytes.empty() != y.bytes.empty()) return x.bytes.empty();
        return head_before(x, y);
    });
    for (head *h = first; h != last; ++h) {
        if (h->bytes.empty()) continue;
        size_t parting = 0;
        if (h != first && !h[-1].bytes.empty()) parting = first_parting(h[-1].bytes, h->bytes);
        if (h + 1 != last) parting = std::max(parting, first_parting(h->bytes, h[1].bytes));
        h->keep = std::min(h->bytes.size(), parting + chunk_size);
    }
}

void learn_longer_prefixes(pass_context &pass, reading &shared, reader &self, reader &second) {
    list_knowledge &known = *pass.known;
    version_table &table = known.versions;
    // Files whose cells hold the same first bytes within one group, in
    // order of group and those bytes; a run whose files are one class of
    // equal versions needs nothing.
    std::vector<int32_t> order;
    for (size_t index = 0; index < shared.candidates.size(); ++index) {
        const candidate &file = shared.candidates[index];
        const first_bytes *cell = first_bytes_of(table, file.entry, false);
        const off_t size = size_of(shared, file);
        if (cell && cell->read && cell->length == cell_prefix_size &&
            size > static_cast<off_t>(cell_prefix_size) && !is_large(size))
            order.push_back(static_cast<int32_t>(index));
    }
    auto prefix_of = [&](int32_t index) {
        return first_bytes_of(table, shared.candidates[static_cast<size_t>(index)].entry, false)
            ->prefix;
    };
    auto group_of = [&](int32_t index) {
        const status_slot &slot = slot_of(shared, shared.candidates[static_cast<size_t>(index)]);
        return uint64_t(slot.size) << 8 | (shared.by_device ? slot.device : 0);
    };
    std::sort(order.begin(), order.end(), [&](int32_t x, int32_t y) {
        if (group_of(x) != group_of(y)) return group_of(x) < group_of(y);
        return std::memcmp(prefix_of(x), prefix_of(y), cell_prefix_size) < 0;
    });
    auto class_of = [&](int32_t index) -> uint32_t {
        const uint32_t number = version_number(
            first_bytes_of(table, shared.candidates[static_cast<size_t>(index)].entry, false));
        return number ? find_ordering_root(table, number) : 0;
    };
    head_runs runs;
    for (size_t from = 0; from < order.size();) {
        size_t to = from + 1;
        bool parted = false;
        for (; to < order.size() && group_of(order[to]) == group_of(order[from]) &&
               std::memcmp(prefix_of(order[to]), prefix_of(order[from]), cell_prefix_size) == 0;
             ++to)
            parted = parted || !class_of(order[to]) || class_of(order[to]) != class_of(order[from]);
        if (to - from > 1 && (parted || !class_of(order[from]))) {
            runs.starts.push_back(runs.heads.size());
            for (size_t k = from; k < to; ++k) runs.heads.push_back({{order[k], {}, {}}, {}, 0});
        }
        from = to;
    }
    if (runs.heads.empty()) return;
    runs.starts.push_back(runs.heads.size());
    std::vector<int32_t>().swap(order);

    self.opens = self.bytes = second.opens = second.bytes = 0;
    auto read_runs = [&shared, &runs](reader &thread) {
        for (;;) {
            const size_t run = runs.next_run.fetch_add(1, std::memory_order_relaxed);
            if (run + 1 >= runs.starts.size() || stop_requested()) return;
            read_run(shared, thread, runs.heads.data() + runs.starts[run],
                     runs.heads.data() + runs.starts[run + 1]);
        }
    };
    const bool both = on_two_threads(self, second, runs.heads.size() > chunk_length, read_runs);
    if (stop_requested()) return;
    known.counts.opens += self.opens + (both ? second.opens : 0);
    known.counts.bytes_read += self.bytes + (both ? second.bytes : 0);
    // Each file keeps its first bytes as the prefix of the version read.
    for (const head &h : runs.heads) {
        if (h.keep <= cell_prefix_size) continue;
        const uint32_t number = record_of(known, shared, h.version);
        if (!number) continue;
        version_record &record = version_at(table, number);
        if (!record.link) record.link = new_extra(table, {});
        extra_bytes &extra = table.extra_bytes_table[record.link];
        if (extra.digests || extra.known >= h.keep) continue;
        unsigned char *bytes = new unsigned char[h.keep];
        std::memcpy(bytes, h.bytes.data(), h.keep);
        delete[] extra.prefix;
        extra.prefix = bytes;
        extra.known = static_cast<uint32_t>(h.keep);
    }
}

}  // namespace

void read_ahead(pass_context &pass, compared_files which) {
    if (!pass.known || file_count < 2 || !prepare_knowledge(*pass.known) || stop_requested())
        return;
    examine_ahead(pass);
    if (stop_requested()) return;
    reading shared;
    shared.known = pass.known;
    shared.by_device = which == compared_files::on_one_device;
    shared.candidates = find_candidates(shared, which);
    if (shared.candidates.empty()) return;
    shared.contents.assign(shared.candidates.size() * 3 / 2 + 1, contents_slot{0, -1});
    off_t bytes = 0;
    for (size_t index = 0; index < shared.candidates.size(); ++index) {
        if (index == 0 || index - shared.chunk_starts.back() >= chunk_length ||
            bytes >= chunk_bytes) {
            shared.chunk_starts.push_back(index);
            bytes = 0;
        }
        bytes += size_of(shared, shared.candidates[index]);
    }
    shared.chunk_starts.push_back(shared.candidates.size());
    // Every cell the readers write exists before they start.
    for (const candidate &file : shared.candidates)
        first_bytes_of(pass.known->versions, file.entry, true);
    progress_step_begins(false, shared.candidates.size());

    reader self, second;
    auto read_candidates = [&shared](reader &thread) { read_chunks(shared, thread); };
    std::vector<reader *> readers{&self};
    if (on_two_threads(self, second, shared.chunk_starts.size() > 2, read_candidates))
        readers.push_back(&second);
    if (stop_requested()) return;
    take_in(pass, shared, readers);
    learn_longer_prefixes(pass, shared, self, second);
}
