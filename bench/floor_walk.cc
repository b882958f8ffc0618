#include "floor_walk.h"

#include <cstring>
#include <memory>
#include <string>
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

}  // namespace

FloorResult removeListedFiles(const char* root, std::size_t readBufferSize) {
    return FloorWalk(readBufferSize).run(root);
}

}  // namespace bench
