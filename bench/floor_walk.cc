#include "floor_walk.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/fs.h"
#include "target_rule.h"

namespace bench {

namespace {

/// One open folder on the walk's stack and its not yet visited subfolders.
///
/// Subfolder names live back to back (NUL-terminated) in one shared arena:
/// a folder's names start where its parent's end, so popping a folder just
/// truncates the arena and the walk allocates nothing once the arena has grown.
struct Frame {
    int directory;           ///< open descriptor of the folder
    std::size_t namesStart;  ///< arena offset where this folder's subfolder names begin
    std::size_t nextName;    ///< arena offset of the next subfolder to visit
    std::size_t namesEnd;    ///< arena offset just past this folder's subfolder names
};

/// State of one walk: the read buffer, the name arena and the totals.
class FloorWalk {
public:
    /// Allocates the one read buffer the whole walk uses.
    explicit FloorWalk(std::size_t readBufferSize)
        : buffer_(new char[readBufferSize]), bufferSize_(readBufferSize) {}

    /// Runs the walk from `root` and returns its totals.
    FloorResult run(const char* root) {
        int directory = platform::openDirectory(root);
        if (directory == platform::kNoDirectory) {
            ++result_.failures;
            return result_;
        }
        pushFolder(directory);
        while (!stack_.empty()) descendOrPop();
        return result_;
    }

private:
    /// Cleans a newly opened folder and puts it on the stack with its subfolders.
    void pushFolder(int directory) {
        ++result_.foldersVisited;
        std::size_t start = arena_.size();
        cleanAndCollect(directory);
        stack_.push_back(Frame{directory, start, start, arena_.size()});
    }

    /// Opens the top folder's next subfolder, or closes the folder when none is left.
    void descendOrPop() {
        Frame& top = stack_.back();
        if (top.nextName == top.namesEnd) {
            platform::closeDirectory(top.directory);
            // Its children are gone already, so its names are the arena's tail.
            arena_.resize(top.namesStart);
            stack_.pop_back();
            return;
        }
        const char* name = arena_.data() + top.nextName;
        top.nextName += std::strlen(name) + 1;
        int child = platform::openSubdirectory(top.directory, name);
        if (child == platform::kNoDirectory) {
            ++result_.failures;
            return;
        }
        pushFolder(child);  // may grow the arena: `name` and `top` are not used after this
    }

    /// Deletes the folder's targets as they are read and remembers its subfolders.
    void cleanAndCollect(int directory) {
        platform::EntryReader reader(directory, buffer_.get(), bufferSize_);
        platform::EntryView entry;
        while (reader.next(entry)) {
            if (entry.type == platform::EntryType::Directory) {
                arena_.append(entry.name, std::strlen(entry.name) + 1);
            } else if (isListedName(entry.name)) {
                // The extra stat is paid only by links with a listed name.
                if (entry.type == platform::EntryType::Link && platform::linkLeadsToDirectory(directory, entry.name)) {
                    continue;
                }
                remove(directory, entry.name);
            }
        }
        if (reader.failed()) ++result_.failures;
    }

    /// Deletes one entry and books the outcome.
    void remove(int directory, const char* name) {
        if (platform::removeEntry(directory, name)) {
            ++result_.filesRemoved;
        } else {
            ++result_.failures;
        }
    }

    std::unique_ptr<char[]> buffer_;  ///< getdents64 target, shared by every folder
    std::size_t bufferSize_;          ///< its size in bytes
    std::string arena_;               ///< subfolder names still to visit, NUL-separated
    std::vector<Frame> stack_;        ///< open folders from the root down
    FloorResult result_;              ///< totals so far
};

/// An open folder and the names of its subfolders, shared by whoever opens
/// them; closed once the last of them is open.
struct Listing {
    explicit Listing(int folder) : directory(folder) {}
    ~Listing() { platform::closeDirectory(directory); }
    Listing(const Listing&) = delete;
    Listing& operator=(const Listing&) = delete;

    int directory;
    std::string names;  ///< the subfolders' names, NUL-terminated, back to back
    std::string path;   ///< shown in report lines (required work only)
};

/// Subfolders of one listing still to visit, from the name at `next` on.
struct Range {
    std::shared_ptr<Listing> listing;
    std::size_t next;
};

/// A folder to visit: its name in its open parent.
struct Task {
    std::shared_ptr<Listing> parent;
    const char* name = nullptr;  ///< in the parent's names
};

/// The shared state of a parallel floor walk. Threads take folders from one
/// shared stack; a thread that lists a folder puts its subfolders but the
/// first on the stack and goes straight on to the first itself, so a chain
/// of first subfolders costs no lock.
class ParallelFloorWalk {
public:
    ParallelFloorWalk(unsigned threads, std::size_t readBufferSize, bool requiredWork)
        : threads_(threads < 1 ? 1 : threads), bufferSize_(readBufferSize), required_(requiredWork) {}

    FloorResult run(const char* root) {
        const int directory = platform::openDirectory(root);
        if (directory == platform::kNoDirectory) {
            result_.failures = 1;
            return result_;
        }
        // The calling thread lists the root; the others wait for its subfolders.
        busy_ = 1;
        std::vector<std::thread> helpers;
        for (unsigned i = 1; i < threads_; ++i) helpers.emplace_back([this] { work(Task(), false); });
        std::unique_ptr<char[]> buffer(new char[bufferSize_]);
        std::string names;
        std::string report;
        FloorResult mine;
        Task first;
        const std::string rootPath = required_ ? platform::absolutePath(root) : root;
        visit(directory, rootPath, buffer.get(), names, report, mine, &first);
        writeReport(report, 0);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            result_ = mine;
        }
        work(std::move(first), true);
        for (std::thread& helper : helpers) helper.join();
        return result_;
    }

private:
    /// Visits `task` and the chain of first subfolders below it, then takes
    /// folders from the stack until none is left and no thread can add more.
    /// `inHand`: the thread counts in busy_ already (it listed the root).
    void work(Task task, bool inHand) {
        std::unique_ptr<char[]> buffer(new char[bufferSize_]);
        std::string names;
        std::string report;
        std::string path;
        FloorResult mine;
        for (;;) {
            while (task.parent != nullptr) {
                const int directory = platform::openSubdirectory(task.parent->directory, task.name);
                if (required_) path.assign(task.parent->path).append("/").append(task.name);
                task.parent.reset();
                if (directory == platform::kNoDirectory) {
                    ++mine.failures;
                    break;
                }
                visit(directory, path, buffer.get(), names, report, mine, &task);
            }
            if (!take(&task, inHand)) break;
            inHand = true;
        }
        writeReport(report, 0);
        std::lock_guard<std::mutex> lock(mutex_);
        result_.foldersVisited += mine.foldersVisited;
        result_.filesRemoved += mine.filesRemoved;
        result_.failures += mine.failures;
    }

    /// Ends the chain in hand, if any, and takes the next folder off the
    /// stack; false once there is none and no thread can add more.
    bool take(Task* task, bool inHand) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (inHand) --busy_;
        ++waiting_;
        while (stack_.empty() && busy_ > 0) changed_.wait(lock);
        --waiting_;
        if (stack_.empty()) {
            changed_.notify_all();
            return false;
        }
        Range& top = stack_.back();
        task->name = top.listing->names.data() + top.next;
        top.next += std::strlen(task->name) + 1;
        if (top.next == top.listing->names.size()) {
            task->parent = std::move(top.listing);
            stack_.pop_back();
        } else {
            task->parent = top.listing;
        }
        ++busy_;
        // Each waiting thread wakes the next while there is more to take.
        if (!stack_.empty() && waiting_ > 0) changed_.notify_one();
        return true;
    }

    /// Cleans the open folder `directory` and takes it over; its first
    /// subfolder becomes `next` (or none), the others go on the stack in one
    /// go. `names` is the thread's scratch for the subfolders' names.
    void visit(int directory, const std::string& path, char* buffer, std::string& names,
               std::string& report, FloorResult& mine, Task* next) {
        ++mine.foldersVisited;
        names.clear();
        if (required_ && !platform::readIdentity(directory)) ++mine.failures;
        // Every folder gets a block, deletions or not, as buildsweep writes it.
        static constexpr char kBanner[] =
            "================================================================\n";
        if (required_) report.append(kBanner).append("Folder : ").append(path).append(" \n");
        unsigned long long removedHere = 0;
        platform::EntryReader reader(directory, buffer, bufferSize_);
        platform::EntryView entry;
        while (reader.next(entry)) {
            if (entry.type == platform::EntryType::Directory) {
                names.append(entry.name, std::strlen(entry.name) + 1);
            } else if (isListedName(entry.name)) {
                if (entry.type == platform::EntryType::Link && platform::linkLeadsToDirectory(directory, entry.name)) {
                    continue;
                }
                if (platform::removeEntry(directory, entry.name)) {
                    ++mine.filesRemoved;
                    ++removedHere;
                    if (required_) {
                        report.append("Delete : ").append(path).append("/").append(entry.name).append(" \n");
                    }
                } else {
                    ++mine.failures;
                }
            }
        }
        if (reader.failed()) ++mine.failures;
        if (required_) {
            report.append("Remove File Count = ").append(std::to_string(removedHere)).append("\n");
            report.append(kBanner).append("\n");
        }
        writeReport(report, kReportBlock);
        // A folder without subfolders is closed at once: only the others are shared.
        if (names.empty()) {
            platform::closeDirectory(directory);
            return;
        }
        auto folder = std::make_shared<Listing>(directory);
        folder->names = names;
        if (required_) folder->path = path;
        next->name = folder->names.data();
        const std::size_t second = std::strlen(next->name) + 1;
        if (second < folder->names.size()) {
            std::lock_guard<std::mutex> lock(mutex_);
            stack_.push_back(Range{folder, second});
            if (waiting_ > 0) changed_.notify_one();
        }
        next->parent = std::move(folder);
    }

    /// Writes the thread's report lines out once they pass `atLeast` bytes.
    void writeReport(std::string& report, std::size_t atLeast) {
        if (report.empty() || report.size() < atLeast) return;
        std::lock_guard<std::mutex> lock(outputMutex_);
        platform::writeToStandardOutput(report.data(), report.size());
        report.clear();
    }

    static constexpr std::size_t kReportBlock = std::size_t{64} * 1024;
    const unsigned threads_;
    const std::size_t bufferSize_;
    const bool required_;
    std::mutex outputMutex_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Range> stack_;  ///< subfolders to visit, the newest on top
    unsigned busy_ = 0;         ///< threads with a chain of folders in hand
    unsigned waiting_ = 0;      ///< threads waiting for the stack
    FloorResult result_;
};

/// bfs's shape, for comparison with buildsweep's own: one walker thread
/// visits the folders in order and writes every block itself, so order
/// costs nothing; the other threads only make system calls for it. They
/// open and list folders ahead of it (up to kAhead held open), and delete
/// each folder's targets once the walker has judged them; the walker
/// writes a block once its deletions are done, and waits for the oldest
/// when the lines of deletions in flight would pass 64 KiB.
class OrderedFloorWalk {
public:
    /// `chunk`: the most targets of one folder one deletion job takes, so
    /// that several threads delete a large folder side by side (0: a whole
    /// folder a job).
    OrderedFloorWalk(unsigned threads, std::size_t readBufferSize, std::size_t chunk)
        : threads_(threads < 1 ? 1 : threads), bufferSize_(readBufferSize),
          chunk_(chunk == 0 ? SIZE_MAX : chunk) {}

    FloorResult run(const char* root) {
        auto top = std::make_shared<Folder>();
        top->directory = platform::openDirectory(root);
        if (top->directory == platform::kNoDirectory) {
            result_.failures = 1;
            return result_;
        }
        top->path = platform::absolutePath(root);
        std::vector<std::thread> helpers;
        for (unsigned i = 1; i < threads_; ++i) helpers.emplace_back([this] { serve(); });
        std::unique_ptr<char[]> buffer(new char[bufferSize_]);
        top->taken = true;
        list(*top, buffer.get());
        top->listed = true;
        walk(top, buffer.get());
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closing_ = true;
        }
        work_.notify_all();
        for (std::thread& helper : helpers) helper.join();
        return result_;
    }

private:
    struct Folder {
        ~Folder() { if (directory != platform::kNoDirectory) platform::closeDirectory(directory); }
        std::shared_ptr<Folder> parent;
        std::string name, path;
        int directory = platform::kNoDirectory;
        std::string targets;               ///< NUL-terminated, back to back
        std::vector<std::size_t> offsets;  ///< of each target in `targets`
        std::vector<std::shared_ptr<Folder>> children;
        std::vector<char> removed;  ///< per target
        std::size_t failures = 0;
        std::size_t removedCount = 0;  ///< walker only, as its lines are written
        bool taken = false, listed = false;  ///< under mutex_
    };
    /// Deleting targets [begin, end) of a folder; its block's lines.
    struct Job {
        std::shared_ptr<Folder> folder;
        std::size_t begin = 0, end = 0, bytes = 0;
        bool done = false;  ///< under mutex_
    };

    /// Opens and lists `folder`, making its children; by whoever took it.
    void list(Folder& folder, char* buffer) {
        if (folder.directory == platform::kNoDirectory) {
            folder.directory = platform::openSubdirectory(folder.parent->directory, folder.name.c_str());
            if (folder.directory == platform::kNoDirectory) {
                ++folder.failures;
                return;
            }
        }
        if (!platform::readIdentity(folder.directory)) ++folder.failures;
        platform::EntryReader reader(folder.directory, buffer, bufferSize_);
        platform::EntryView entry;
        std::vector<std::string> subfolders;
        while (reader.next(entry)) {
            if (entry.type == platform::EntryType::Directory) {
                subfolders.emplace_back(entry.name);
            } else if (isListedName(entry.name)) {
                if (entry.type == platform::EntryType::Link &&
                    platform::linkLeadsToDirectory(folder.directory, entry.name)) {
                    continue;
                }
                folder.offsets.push_back(folder.targets.size());
                folder.targets.append(entry.name, std::strlen(entry.name) + 1);
            }
        }
        if (reader.failed()) ++folder.failures;
        folder.removed.assign(folder.offsets.size(), 0);
        for (std::string& name : subfolders) {
            auto child = std::make_shared<Folder>();
            child->name = std::move(name);
            child->path = folder.path + "/" + child->name;
            folder.children.push_back(std::move(child));
        }
    }

    /// Deletes the job's targets.
    static void removeTargets(Job& job) {
        Folder& folder = *job.folder;
        for (std::size_t i = job.begin; i < job.end; ++i) {
            folder.removed[i] = platform::removeEntry(folder.directory, folder.targets.data() + folder.offsets[i]) ? 1 : 0;
        }
    }

    /// After `folder` was listed, under the lock: its children may be listed
    /// ahead, the first on top.
    void offerChildren(const std::shared_ptr<Folder>& folder) {
        for (auto& child : folder->children) child->parent = folder;
        for (auto child = folder->children.rbegin(); child != folder->children.rend(); ++child) {
            toList_.push_back(*child);
        }
        if (!folder->children.empty()) work_.notify_one();
    }

    /// A helper thread: deletes for the walker first, lists ahead second.
    void serve() {
        std::unique_ptr<char[]> buffer(new char[bufferSize_]);
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            work_.wait(lock, [&] {
                return closing_ || !toDelete_.empty() || (!toList_.empty() && ahead_ < kAhead);
            });
            if (closing_) return;
            if (!toDelete_.empty()) {
                runDeletion(lock);
                continue;
            }
            std::shared_ptr<Folder> folder = std::move(toList_.back());
            toList_.pop_back();
            if (folder->taken) continue;
            folder->taken = true;
            ++ahead_;
            lock.unlock();
            list(*folder, buffer.get());
            lock.lock();
            folder->listed = true;
            offerChildren(folder);
            done_.notify_one();
        }
    }

    /// Runs the oldest deletion in hand; under the lock, released meanwhile.
    void runDeletion(std::unique_lock<std::mutex>& lock) {
        std::shared_ptr<Job> job = std::move(toDelete_.front());
        toDelete_.pop_front();
        lock.unlock();
        removeTargets(*job);
        lock.lock();
        job->done = true;
        done_.notify_one();
    }

    /// Waits, under the lock, until `ready` holds, deleting meanwhile.
    template <typename Ready>
    void waitFor(std::unique_lock<std::mutex>& lock, Ready ready) {
        while (!ready()) {
            if (!toDelete_.empty()) {
                runDeletion(lock);
            } else {
                done_.wait(lock);
            }
        }
    }

    /// Hands the deletion of `folder`'s targets on in jobs of up to chunk_
    /// targets, each once its lines fit beside those in flight.
    void deleteInJobs(const std::shared_ptr<Folder>& folder, std::deque<std::shared_ptr<Job>>& pending,
                      std::string& report) {
        const std::size_t count = folder->offsets.size();
        std::size_t begin = 0;
        do {
            auto job = std::make_shared<Job>();
            job->folder = folder;
            job->begin = begin;
            job->end = count - begin > chunk_ ? begin + chunk_ : count;
            job->bytes = linesOf(*job);
            begin = job->end;
            writeDone(pending, kBound - std::min(kBound, job->bytes), report, kReportBlock);
            inFlightBytes_ += job->bytes;
            pending.push_back(job);
            std::unique_lock<std::mutex> lock(mutex_);
            if (threads_ > 1 && job->end > job->begin) {
                toDelete_.push_back(job);
                work_.notify_one();
            } else {
                lock.unlock();
                removeTargets(*job);
                lock.lock();
                job->done = true;
            }
        } while (begin < count);
    }

    void walk(const std::shared_ptr<Folder>& top, char* buffer) {
        struct Frame {
            std::shared_ptr<Folder> folder;
            std::size_t next;
        };
        std::vector<Frame> stack;
        std::deque<std::shared_ptr<Job>> pending;  // jobs whose lines are not yet written
        std::string report;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            offerChildren(top);
        }
        std::shared_ptr<Folder> folder = top;
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(mutex_);
                if (!folder->taken) {
                    folder->taken = true;
                    lock.unlock();
                    list(*folder, buffer);
                    lock.lock();
                    folder->listed = true;
                    offerChildren(folder);
                } else if (folder != top) {
                    waitFor(lock, [&] { return folder->listed; });
                    --ahead_;
                    work_.notify_one();
                }
            }
            deleteInJobs(folder, pending, report);
            // The next folder in order: the first child, or the next sibling up.
            if (!folder->children.empty()) {
                stack.push_back(Frame{folder, 1});
                folder = std::move(folder->children.front());
                continue;
            }
            folder.reset();
            while (!stack.empty() && stack.back().next == stack.back().folder->children.size()) stack.pop_back();
            if (stack.empty()) break;
            // Taken out, so that a folder's handle closes once its own work is done.
            folder = std::move(stack.back().folder->children[stack.back().next++]);
        }
        writeDone(pending, 0, report, 0);
        if (!report.empty()) platform::writeToStandardOutput(report.data(), report.size());
    }

    /// Writes the lines of the jobs done, in order, waiting for the oldest
    /// while those in flight take more than `most` bytes.
    void writeDone(std::deque<std::shared_ptr<Job>>& pending, std::size_t most, std::string& report,
                   std::size_t atLeast) {
        static constexpr char kBanner[] =
            "================================================================\n";
        std::unique_lock<std::mutex> lock(mutex_);
        while (!pending.empty()) {
            Job& job = *pending.front();
            if (!job.done) {
                if (inFlightBytes_ <= most) break;
                waitFor(lock, [&] { return job.done; });
            }
            lock.unlock();
            Folder& block = *job.folder;
            if (job.begin == 0) {
                ++result_.foldersVisited;
                result_.failures += block.failures;
                report.append(kBanner).append("Folder : ").append(block.path).append(" \n");
            }
            for (std::size_t i = job.begin; i < job.end; ++i) {
                if (!block.removed[i]) {
                    ++result_.failures;
                    continue;
                }
                ++block.removedCount;
                report.append("Delete : ").append(block.path).append("/")
                      .append(block.targets.data() + block.offsets[i]).append(" \n");
            }
            if (job.end == block.offsets.size()) {
                result_.filesRemoved += block.removedCount;
                report.append("Remove File Count = ").append(std::to_string(block.removedCount)).append("\n");
                report.append(kBanner).append("\n");
            }
            if (report.size() >= atLeast) {
                platform::writeToStandardOutput(report.data(), report.size());
                report.clear();
            }
            inFlightBytes_ -= job.bytes;
            pending.pop_front();
            lock.lock();
        }
    }

    /// What a job's lines will take, about: a line per target, and the
    /// folder's own lines with its first.
    static std::size_t linesOf(const Job& job) {
        const Folder& folder = *job.folder;
        const std::size_t names_end = job.end < folder.offsets.size() ? folder.offsets[job.end] : folder.targets.size();
        const std::size_t names = job.end > job.begin ? names_end - folder.offsets[job.begin] : 0;
        return (job.end - job.begin) * (folder.path.size() + 12) + names +
               (job.begin == 0 ? folder.path.size() + 160 : 0);
    }

    // Folders listed ahead of the walker, each holding its handle: with 256,
    // a third of the folders of a share's tree (1,000 x 10, 200 us a
    // request, 64 threads) were reached by the walker before any helper,
    // and listed by it alone.
    static constexpr std::size_t kAhead = 4096;
    static constexpr std::size_t kReportBlock = std::size_t{64} * 1024;
    static constexpr std::size_t kBound = std::size_t{64} * 1024;
    const unsigned threads_;
    const std::size_t bufferSize_;
    const std::size_t chunk_;
    std::mutex mutex_;
    std::condition_variable work_;  ///< for the helpers
    std::condition_variable done_;  ///< for the walker
    std::vector<std::shared_ptr<Folder>> toList_;  ///< newest on top
    std::deque<std::shared_ptr<Job>> toDelete_;
    std::size_t ahead_ = 0;  ///< listed ahead, not yet visited
    std::size_t inFlightBytes_ = 0;  ///< lines of the jobs not yet written (walker only)
    bool closing_ = false;
    FloorResult result_;
};

}  // namespace

FloorResult removeListedFilesInParallel(const char* root, unsigned threads,
                                        std::size_t readBufferSize, bool requiredWork) {
    return ParallelFloorWalk(threads, readBufferSize, requiredWork).run(root);
}

FloorResult removeListedFilesInOrder(const char* root, unsigned threads, std::size_t chunk,
                                     std::size_t readBufferSize) {
    return OrderedFloorWalk(threads, readBufferSize, chunk).run(root);
}

FloorResult removeListedFiles(const char* root, std::size_t readBufferSize) {
    return FloorWalk(readBufferSize).run(root);
}

}  // namespace bench
