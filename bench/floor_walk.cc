#include "floor_walk.h"

#include <condition_variable>
#include <cstring>
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

/// An open folder shared by the stack entries of its subfolders; closed
/// when the last of them has been opened.
class SharedDirectory {
public:
    explicit SharedDirectory(int directory) : directory_(directory) {}
    ~SharedDirectory() { platform::closeDirectory(directory_); }
    SharedDirectory(const SharedDirectory&) = delete;
    SharedDirectory& operator=(const SharedDirectory&) = delete;
    int get() const { return directory_; }

private:
    int directory_;
};

/// A folder still to visit: its name in its open parent.
struct PendingFolder {
    std::shared_ptr<SharedDirectory> parent;
    std::string name;
};

/// The shared state of a parallel floor walk.
class ParallelFloorWalk {
public:
    ParallelFloorWalk(unsigned threads, std::size_t readBufferSize)
        : threads_(threads < 1 ? 1 : threads), bufferSize_(readBufferSize) {}

    FloorResult run(const char* root) {
        const int directory = platform::openDirectory(root);
        if (directory == platform::kNoDirectory) {
            result_.failures = 1;
            return result_;
        }
        std::vector<std::thread> helpers;
        auto first = std::make_shared<SharedDirectory>(directory);
        std::unique_ptr<char[]> buffer(new char[bufferSize_]);
        FloorResult mine;
        // The calling thread lists the root; the others wait for its subfolders.
        busy_ = 1;
        for (unsigned i = 1; i < threads_; ++i) helpers.emplace_back([this] { work(); });
        visit(first, buffer.get(), mine);
        first.reset();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            result_ = mine;
        }
        finishVisit();
        work();
        for (std::thread& helper : helpers) helper.join();
        return result_;
    }

private:
    /// Takes folders until none is left and no thread can add more.
    void work() {
        std::unique_ptr<char[]> buffer(new char[bufferSize_]);
        FloorResult mine;
        for (;;) {
            PendingFolder next;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [this] { return !stack_.empty() || busy_ == 0; });
                if (stack_.empty()) break;
                next = std::move(stack_.back());
                stack_.pop_back();
                ++busy_;
            }
            const int directory = platform::openSubdirectory(next.parent->get(), next.name.c_str());
            next.parent.reset();
            if (directory == platform::kNoDirectory) {
                ++mine.failures;
            } else {
                visit(std::make_shared<SharedDirectory>(directory), buffer.get(), mine);
            }
            finishVisit();
        }
        std::lock_guard<std::mutex> lock(mutex_);
        result_.foldersVisited += mine.foldersVisited;
        result_.filesRemoved += mine.filesRemoved;
        result_.failures += mine.failures;
    }

    /// Cleans one open folder and puts its subfolders on the stack in one go.
    void visit(const std::shared_ptr<SharedDirectory>& folder, char* buffer, FloorResult& mine) {
        ++mine.foldersVisited;
        found_.clear();
        platform::EntryReader reader(folder->get(), buffer, bufferSize_);
        platform::EntryView entry;
        while (reader.next(entry)) {
            if (entry.type == platform::EntryType::Directory) {
                found_.emplace_back(entry.name);
            } else if (isListedName(entry.name)) {
                if (entry.type == platform::EntryType::Link &&
                    platform::linkLeadsToDirectory(folder->get(), entry.name)) {
                    continue;
                }
                if (platform::removeEntry(folder->get(), entry.name)) {
                    ++mine.filesRemoved;
                } else {
                    ++mine.failures;
                }
            }
        }
        if (reader.failed()) ++mine.failures;
        if (found_.empty()) return;
        std::lock_guard<std::mutex> lock(mutex_);
        for (std::string& name : found_) stack_.push_back(PendingFolder{folder, std::move(name)});
        changed_.notify_all();
    }

    /// Marks one visit done; the last one ends the walk.
    void finishVisit() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (--busy_ == 0 && stack_.empty()) changed_.notify_all();
    }

    const unsigned threads_;
    const std::size_t bufferSize_;
    static thread_local std::vector<std::string> found_;  ///< one folder's subfolders
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<PendingFolder> stack_;  ///< folders to visit, the newest on top
    unsigned busy_ = 0;                 ///< threads visiting a folder
    FloorResult result_;
};

thread_local std::vector<std::string> ParallelFloorWalk::found_;

}  // namespace

FloorResult removeListedFilesInParallel(const char* root, unsigned threads,
                                        std::size_t readBufferSize) {
    return ParallelFloorWalk(threads, readBufferSize).run(root);
}

FloorResult removeListedFiles(const char* root, std::size_t readBufferSize) {
    return FloorWalk(readBufferSize).run(root);
}

}  // namespace bench
