// The queue between the scanning thread and the encoder threads.
//
// One lock guards the queue and every item's `encodedDone`; a worker holds it only to take an
// entry and to mark it done, never while it encodes. The scanning thread alone adds items and
// takes them out, always from the front, so an item a worker holds stays in place until the
// worker is done with it.
#include "engine/run/entry_pipeline.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>

#include "engine/entry/entry_salvage.h"
#include "engine/run/entry_check_ahead.h"
#include "platform/platform.h"

namespace zipsalvage {
namespace {

// What may wait in the queue: entries, and the memory their decoded bytes take. With entries of
// up to 32 MiB each, the bytes bound keeps a run's memory far below 256 MiB: the queued decoded
// bytes, at most as many again encoded (a worker gives the decoded ones back when done), and
// the entry being decoded. The queue is long in entries: behind a big entry that one worker
// encodes, the others go on through the small ones after it.
constexpr size_t kMostQueuedEntries = 4096;
constexpr uint64_t kMostQueuedBytes = uint64_t{64} << 20;
// How long takeReadyItem waits before the caller looks at its cancel flag again.
constexpr auto kWaitSlice = std::chrono::milliseconds(20);

}  // namespace

struct EntryPipeline {
    const RunFlags* cancel = nullptr;
    std::mutex lock;
    std::condition_variable workWaiting;  // an entry was queued, or the workers are to stop
    std::condition_variable entryEncoded;
    std::deque<std::unique_ptr<QueuedItem>> queue;
    size_t nextToEncode = 0;  // index in `queue` of the first entry no worker has taken
    size_t queuedEntries = 0;
    uint64_t queuedBytes = 0;
    size_t queuedChecks = 0;
    bool halted = false;  // the oldest item's check failed
    ScanMark scanMark;
    int64_t uncheckedHeader = -1;
    bool stopping = false;
    std::vector<WorkerThread> workers;
};

namespace {

// Takes the next entry to encode; null when the workers are to stop.
QueuedItem* nextEntryToEncode(EntryPipeline& pipeline) {
    std::unique_lock<std::mutex> guard(pipeline.lock);
    while (true) {
        if (pipeline.stopping) return nullptr;
        while (pipeline.nextToEncode < pipeline.queue.size()) {
            QueuedItem* item = pipeline.queue[pipeline.nextToEncode++].get();
            if (item->toWrite) return item;
        }
        pipeline.workWaiting.wait(guard);
    }
}

void encoderLoop(void* argument) {
    EntryPipeline& pipeline = *static_cast<EntryPipeline*>(argument);
    while (QueuedItem* item = nextEntryToEncode(pipeline)) {
        if (item->check != nullptr) {
            checkEntryAhead(*item->check);
        } else {
            encodeQueuedEntry(*item, *pipeline.cancel);
        }
        // The decoded bytes are not needed again: their memory serves the next entries.
        emptyDecoded(item->decoded);
        std::lock_guard<std::mutex> guard(pipeline.lock);
        item->encodedDone = true;
        pipeline.entryEncoded.notify_all();
    }
}

bool readyToGo(const QueuedItem& item) { return item.isLine || !item.toWrite || item.encodedDone; }

// True when the oldest item is ready and may go out; a checked entry found not intact halts
// the queue instead. The caller holds the lock.
bool frontMayGo(EntryPipeline& pipeline) {
    const QueuedItem& front = *pipeline.queue.front();
    if (!readyToGo(front)) return false;
    if (front.check != nullptr && !front.check->intact) pipeline.halted = true;
    return !pipeline.halted;
}

}  // namespace

int encoderThreadsFor(int threads) {
    if (threads <= 0) threads = processorCount();
    return threads <= 1 ? 0 : threads;
}

OwnedPipeline startEntryPipeline(const RunFlags& cancel, int encoders) {
    if (encoders <= 0) return nullptr;
    OwnedPipeline pipeline(new (std::nothrow) EntryPipeline);
    if (pipeline == nullptr) return nullptr;
    pipeline->cancel = &cancel;
    pipeline->workers.resize(static_cast<size_t>(encoders));
    for (WorkerThread& worker : pipeline->workers) {
        // A thread the system refuses only makes the run slower: the ones started serve.
        if (!startThread(worker, encoderLoop, pipeline.get())) break;
    }
    while (!pipeline->workers.empty() && !pipeline->workers.back().started) {
        pipeline->workers.pop_back();
    }
    if (pipeline->workers.empty()) return nullptr;
    return pipeline;
}

void PipelineStop::operator()(EntryPipeline* pipeline) const {
    {
        std::lock_guard<std::mutex> guard(pipeline->lock);
        pipeline->stopping = true;
    }
    pipeline->workWaiting.notify_all();
    for (WorkerThread& worker : pipeline->workers) joinThread(worker);
    delete pipeline;
}

bool pipelineIdle(const EntryPipeline& pipeline) {
    // Only the scanning thread changes the queue's length, and only it asks.
    return pipeline.queue.empty();
}

bool pipelineFull(const EntryPipeline& pipeline) {
    return pipeline.queuedEntries >= kMostQueuedEntries || pipeline.queuedBytes >= kMostQueuedBytes;
}

void queueItem(EntryPipeline& pipeline, std::unique_ptr<QueuedItem> item) {
    bool work = item->toWrite;
    {
        std::lock_guard<std::mutex> guard(pipeline.lock);
        if (!item->isLine) ++pipeline.queuedEntries;
        if (item->check != nullptr) ++pipeline.queuedChecks;
        pipeline.queuedBytes += item->heldBytes;
        pipeline.queue.push_back(std::move(item));
    }
    if (work) pipeline.workWaiting.notify_one();
}

// Takes the oldest item off the queue; the caller holds the lock.
static std::unique_ptr<QueuedItem> popFront(EntryPipeline& pipeline) {
    std::unique_ptr<QueuedItem> item = std::move(pipeline.queue.front());
    pipeline.queue.pop_front();
    if (pipeline.nextToEncode > 0) --pipeline.nextToEncode;
    if (!item->isLine) --pipeline.queuedEntries;
    if (item->check != nullptr) --pipeline.queuedChecks;
    pipeline.queuedBytes -= item->heldBytes;
    return item;
}

std::unique_ptr<QueuedItem> takeReadyItem(EntryPipeline& pipeline, bool wait) {
    std::unique_lock<std::mutex> guard(pipeline.lock);
    if (pipeline.queue.empty() || pipeline.halted) return nullptr;
    if (!readyToGo(*pipeline.queue.front())) {
        if (!wait) return nullptr;
        pipeline.entryEncoded.wait_for(guard, kWaitSlice,
                                       [&] { return readyToGo(*pipeline.queue.front()); });
    }
    if (!frontMayGo(pipeline)) return nullptr;
    return popFront(pipeline);
}

std::unique_ptr<QueuedItem> takeReadyItemIf(EntryPipeline& pipeline,
                                            bool (*accept)(const QueuedItem& item)) {
    std::lock_guard<std::mutex> guard(pipeline.lock);
    if (pipeline.queue.empty() || pipeline.halted) return nullptr;
    if (!frontMayGo(pipeline) || !accept(*pipeline.queue.front())) return nullptr;
    return popFront(pipeline);
}

bool pipelineHalted(const EntryPipeline& pipeline) { return pipeline.halted; }

bool checksQueued(const EntryPipeline& pipeline) { return pipeline.queuedChecks > 0; }

std::unique_ptr<QueuedItem> dropQueuedItems(EntryPipeline& pipeline) {
    std::deque<std::unique_ptr<QueuedItem>> dropped;
    {
        std::unique_lock<std::mutex> guard(pipeline.lock);
        // The items before nextToEncode that are to be written were taken by a worker: each
        // stays alive until its worker is done with it.
        pipeline.entryEncoded.wait(guard, [&] {
            for (size_t index = 0; index < pipeline.nextToEncode; ++index) {
                const QueuedItem& item = *pipeline.queue[index];
                if (item.toWrite && !item.encodedDone) return false;
            }
            return true;
        });
        dropped.swap(pipeline.queue);
        pipeline.nextToEncode = 0;
        pipeline.queuedEntries = 0;
        pipeline.queuedBytes = 0;
        pipeline.queuedChecks = 0;
        pipeline.halted = false;
    }
    if (dropped.empty()) return nullptr;
    return std::move(dropped.front());
}

void setScanMark(EntryPipeline& pipeline, const ScanMark& mark) { pipeline.scanMark = mark; }

const ScanMark& currentScanMark(const EntryPipeline& pipeline) { return pipeline.scanMark; }

void setUncheckedHeader(EntryPipeline& pipeline, int64_t archiveOffset) {
    pipeline.uncheckedHeader = archiveOffset;
}

int64_t uncheckedHeader(const EntryPipeline& pipeline) { return pipeline.uncheckedHeader; }

}  // namespace zipsalvage
