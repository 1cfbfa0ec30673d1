// Packing on every processor.
//
// Work moves through a ring of slots, each holding one directory or one chunk of a file:
//
//   caller thread      fills slot n (reads the chunk)           n = filled
//   compression threads take slots in order and compress them  n = taken
//   writer thread      writes slot n once it is done, frees it  n = written
//
// A slot is filled again only after the writer has freed it, so no more than one slot per
// compression thread and kSpareSlots more hold data at any time. One lock guards the counters
// and the slot states; the data of a slot belongs to whichever thread its state gives it to.
#include "PackPipeline.h"

#include "ChunkEncoder.h"
#include "Crc32.h"
#include "SharedProgress.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <new>
#include <vector>

namespace bi {

namespace {

using codec::ChunkEncoder;
using codec::LzFormat;

// Stored files are read in pieces of this size.
constexpr std::size_t kStoreChunk = 1u << 20;
// Slots beyond one per compression thread: the caller fills one and the writer writes one
// while every thread compresses.
constexpr unsigned kSpareSlots = 2;
// Threads beyond this gain little and each costs its encoder's memory.
constexpr unsigned kMaxThreads = 16;

// How a file's content is kept, decided by its first chunk.
enum class FileMode : int { Undecided, Stored, Compressed };

struct FileState {
    EntryInfo entry;
    std::wstring subject;
    std::uint64_t size = 0;
    std::atomic<FileMode> mode{FileMode::Undecided};
    // Writer thread only.
    std::uint64_t headerOffset = 0;
    std::uint64_t packed = 0;
    std::uint32_t crc = 0;
};

enum class SlotState { Free, Filled, Working, Done };

struct Slot {
    SlotState state = SlotState::Free;
    // Set by the caller.
    bool directory = false;
    EntryInfo directoryEntry;
    std::shared_ptr<FileState> file;
    bool first = false;
    bool last = false;
    std::vector<std::uint8_t> input;
    std::size_t size = 0;
    // Set by a compression thread.
    std::uint32_t crc = 0;
    bool encoded = false; // `packed` holds the chunk's compressed form
    std::vector<std::uint8_t> packed;
};

LzFormat LzFormatOf(ArchiveFormat format) {
    return format == ArchiveFormat::Rar4 ? LzFormat::Rar29 : LzFormat::Rar50;
}

unsigned ProcessorCount() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return std::max<unsigned>(1, info.dwNumberOfProcessors);
}

} // namespace

struct PackPipeline::Shared {
    Shared(ArchiveWriter& writer, const PackSettings& settings)
        : writer(writer), settings(settings) {}

    ArchiveWriter& writer;
    PackSettings settings;
    std::size_t chunkSize = kStoreChunk;
    std::uint64_t dictionary = 0;

    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE workReady = CONDITION_VARIABLE_INIT; // a slot was filled, or stop
    CONDITION_VARIABLE slotDone = CONDITION_VARIABLE_INIT;  // a slot was compressed, or stop
    CONDITION_VARIABLE slotFree = CONDITION_VARIABLE_INIT;  // a slot was written, or stop
    std::vector<Slot> slots;
    std::uint64_t filled = 0;
    std::uint64_t taken = 0;
    std::uint64_t written = 0;
    bool finishing = false; // no more slots will be filled
    bool stopping = false;  // a failure: every thread ends
    Status failure = Status::Ok();

    std::vector<quor::KernelHandle> threads;

    Slot& SlotOf(std::uint64_t number) { return slots[number % slots.size()]; }

    // Records the first failure and wakes every thread so that it ends. Lock held.
    void FailLocked(const Status& status) {
        if (failure.ok()) {
            failure = status;
        }
        stopping = true;
        WakeAllConditionVariable(&workReady);
        WakeAllConditionVariable(&slotDone);
        WakeAllConditionVariable(&slotFree);
    }

    void Fail(const Status& status) {
        AcquireSRWLockExclusive(&lock);
        FailLocked(status);
        ReleaseSRWLockExclusive(&lock);
    }

    // Waits for the slot the caller fills next; nullptr after a failure.
    Slot* AcquireSlot() {
        AcquireSRWLockExclusive(&lock);
        while (!stopping && filled - written >= slots.size()) {
            SleepConditionVariableSRW(&slotFree, &lock, INFINITE, 0);
        }
        Slot* slot = stopping ? nullptr : &SlotOf(filled);
        ReleaseSRWLockExclusive(&lock);
        return slot;
    }

    void PublishSlot(Slot& slot) {
        AcquireSRWLockExclusive(&lock);
        slot.state = slot.directory ? SlotState::Done : SlotState::Filled;
        ++filled;
        WakeAllConditionVariable(&workReady);
        WakeConditionVariable(&slotDone);
        ReleaseSRWLockExclusive(&lock);
    }

    Status CurrentFailure() {
        AcquireSRWLockShared(&lock);
        Status status = failure;
        ReleaseSRWLockShared(&lock);
        return status;
    }

    void CompressLoop();
    void Compress(Slot& slot, ChunkEncoder* encoder) const;
    void WriteLoop();
    Status WriteSlot(Slot& slot);
};

void PackPipeline::Shared::CompressLoop() {
    std::unique_ptr<ChunkEncoder> encoder;
    if (settings.method != 0) {
        encoder = std::make_unique<ChunkEncoder>(LzFormatOf(settings.format), settings.method);
    }
    AcquireSRWLockExclusive(&lock);
    for (;;) {
        // Slots below `written` are done; the writer may have passed a directory's slot
        // before any thread did, and that slot may hold a later chunk by now.
        taken = std::max(taken, written);
        while (!stopping && taken < filled && SlotOf(taken).state == SlotState::Done) {
            ++taken; // a directory: nothing to compress
        }
        if (stopping || (finishing && taken == filled)) {
            break;
        }
        if (taken == filled) {
            SleepConditionVariableSRW(&workReady, &lock, INFINITE, 0);
            continue;
        }
        Slot& slot = SlotOf(taken++);
        slot.state = SlotState::Working;
        ReleaseSRWLockExclusive(&lock);
        Compress(slot, encoder.get());
        AcquireSRWLockExclusive(&lock);
        slot.state = SlotState::Done;
        WakeConditionVariable(&slotDone);
    }
    ReleaseSRWLockExclusive(&lock);
}

void PackPipeline::Shared::Compress(Slot& slot, ChunkEncoder* encoder) const {
    slot.crc = Crc32(slot.input.data(), slot.size);
    slot.encoded = false;
    slot.packed.clear();
    if (encoder == nullptr || slot.size == 0 ||
        slot.file->mode.load(std::memory_order_acquire) == FileMode::Stored) {
        return;
    }
    slot.encoded = encoder->Encode(slot.input.data(), slot.size, slot.last, slot.packed);
    // A later chunk that does not shrink still has to be part of the file's compressed data
    // unless the first chunk has already made the file a stored one.
    if (!slot.encoded && !slot.first &&
        slot.file->mode.load(std::memory_order_acquire) != FileMode::Stored) {
        encoder->EncodeLiterals(slot.input.data(), slot.size, slot.last, slot.packed);
        slot.encoded = true;
    }
}

void PackPipeline::Shared::WriteLoop() {
    AcquireSRWLockExclusive(&lock);
    for (;;) {
        if (stopping || (finishing && written == filled)) {
            break;
        }
        if (written == filled || SlotOf(written).state != SlotState::Done) {
            SleepConditionVariableSRW(&slotDone, &lock, INFINITE, 0);
            continue;
        }
        Slot& slot = SlotOf(written);
        ReleaseSRWLockExclusive(&lock);
        const Status status = WriteSlot(slot);
        AcquireSRWLockExclusive(&lock);
        if (!status.ok()) {
            FailLocked(status);
            break;
        }
        slot.state = SlotState::Free;
        slot.file.reset();
        ++written;
        WakeConditionVariable(&slotFree);
    }
    ReleaseSRWLockExclusive(&lock);
}

Status PackPipeline::Shared::WriteSlot(Slot& slot) {
    if (slot.directory) {
        return writer.Write(BuildDirectoryHeader(settings.format, slot.directoryEntry));
    }
    FileState& file = *slot.file;
    EntryData data;
    data.unpackedSize = file.size;
    data.dictionary = dictionary;
    if (slot.first) {
        const FileMode mode = slot.encoded ? FileMode::Compressed : FileMode::Stored;
        file.mode.store(mode, std::memory_order_release);
        data.method = mode == FileMode::Compressed ? settings.method : 0;
        if (slot.last) {
            // The whole file in one chunk: its header is complete before it is written.
            data.packedSize = slot.encoded ? slot.packed.size() : slot.size;
            data.crc = slot.crc;
            BI_RETURN_IF_FAILED(
                writer.Write(BuildFileHeader(settings.format, file.entry, data, false)));
            return slot.encoded ? writer.Write(slot.packed.data(), slot.packed.size())
                                : writer.Write(slot.input.data(), slot.size);
        }
        file.headerOffset = writer.Position();
        BI_RETURN_IF_FAILED(writer.Write(BuildFileHeader(settings.format, file.entry, data, true)));
        file.crc = slot.crc;
    } else {
        file.crc = Crc32Combine(file.crc, slot.crc, slot.size);
    }

    const bool stored = file.mode.load(std::memory_order_relaxed) == FileMode::Stored;
    if (stored) {
        BI_RETURN_IF_FAILED(writer.Write(slot.input.data(), slot.size));
        file.packed += slot.size;
    } else {
        BI_RETURN_IF_FAILED(writer.Write(slot.packed.data(), slot.packed.size()));
        file.packed += slot.packed.size();
    }
    if (!slot.last) {
        return Status::Ok();
    }
    data.method = stored ? 0 : settings.method;
    data.packedSize = file.packed;
    data.crc = file.crc;
    if (file.packed > MaxPackedSize(file.size)) {
        // Cannot happen with the encoder's bounds; a header that cannot hold the size must
        // never be written over the one that can.
        return Status(Failure::WriteArchive, file.subject);
    }
    return writer.Overwrite(file.headerOffset,
                            BuildFileHeader(settings.format, file.entry, data, true));
}

PackPipeline::PackPipeline(ArchiveWriter& writer, const PackSettings& settings)
    : m_shared(std::make_unique<Shared>(writer, settings)) {}

PackPipeline::~PackPipeline() {
    if (!m_shared->threads.empty()) {
        m_shared->Fail(Status(Failure::WriteArchive, L"packing stopped"));
        for (const quor::KernelHandle& thread : m_shared->threads) {
            WaitForSingleObject(thread.get(), INFINITE);
        }
    }
}

Status PackPipeline::Start() {
    Shared& shared = *m_shared;
    const PackSettings& settings = shared.settings;
    const unsigned compressors =
        std::min(kMaxThreads, settings.threads != 0 ? settings.threads : ProcessorCount());
    if (settings.method != 0) {
        shared.chunkSize = ChunkEncoder::ChunkSize(LzFormatOf(settings.format), settings.method);
        shared.dictionary =
            ChunkEncoder::DictionarySize(LzFormatOf(settings.format), settings.method);
    }
    shared.slots.resize(compressors + kSpareSlots);
    for (Slot& slot : shared.slots) {
        slot.input.resize(shared.chunkSize + 1); // the probe for a file that goes on
        if (settings.method != 0) {
            slot.packed.reserve(shared.chunkSize + shared.chunkSize / 16 + 4096);
        }
    }

    auto start = [&shared](LPTHREAD_START_ROUTINE routine) {
        quor::KernelHandle thread(CreateThread(nullptr, 0, routine, &shared, 0, nullptr));
        if (!thread) {
            return Status::FromLastError(Failure::OutOfMemory, L"thread");
        }
        shared.threads.push_back(std::move(thread));
        return Status::Ok();
    };
    // A thread that cannot get memory ends the run with OutOfMemory instead of the process.
    for (unsigned i = 0; i < compressors; ++i) {
        BI_RETURN_IF_FAILED(start([](void* context) -> DWORD {
            auto* shared = static_cast<Shared*>(context);
            try {
                shared->CompressLoop();
            } catch (const std::bad_alloc&) {
                shared->Fail(Status(Failure::OutOfMemory, L"compression"));
            }
            return 0;
        }));
    }
    return start([](void* context) -> DWORD {
        auto* shared = static_cast<Shared*>(context);
        try {
            shared->WriteLoop();
        } catch (const std::bad_alloc&) {
            shared->Fail(Status(Failure::OutOfMemory, L"archive headers"));
        }
        return 0;
    });
}

Status PackPipeline::AddDirectory(const EntryInfo& entry) {
    Slot* slot = m_shared->AcquireSlot();
    if (slot == nullptr) {
        return m_shared->CurrentFailure();
    }
    slot->directory = true;
    slot->directoryEntry = entry;
    m_shared->PublishSlot(*slot);
    return Status::Ok();
}

Status PackPipeline::AddFile(const EntryInfo& entry, HANDLE source, std::uint64_t size,
                             const std::wstring& subject) {
    Shared& shared = *m_shared;
    auto file = std::make_shared<FileState>();
    file->entry = entry;
    file->subject = subject;
    file->size = size;
    std::uint64_t remaining = size;
    bool first = true;
    do {
        Slot* slot = shared.AcquireSlot();
        if (slot == nullptr) {
            return shared.CurrentFailure();
        }
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(remaining, shared.chunkSize));
        // The last read asks for one byte more, which must not come: a file that goes on
        // past its size changed while it was read. Reads ask for what is due and no more;
        // Wine makes a large request cost far more than the bytes it returns.
        const bool last = remaining == want;
        const std::size_t asked = want + (last ? 1 : 0);
        std::size_t got = 0;
        while (got < asked) {
            DWORD part = 0;
            if (!ReadFile(source, slot->input.data() + got, static_cast<DWORD>(asked - got), &part,
                          nullptr)) {
                const Status status = Status::FromLastError(Failure::ReadSource, subject);
                shared.Fail(status);
                return status;
            }
            if (part == 0 || got + part > want) {
                if (part == 0 && got == want) {
                    break; // the end, where it should be
                }
                const Status status(Failure::SourceChanged, subject); // shorter or longer
                shared.Fail(status);
                return status;
            }
            got += part;
        }
        remaining -= want;
        progress::Add(want);
        slot->directory = false;
        slot->file = file;
        slot->first = first;
        slot->last = remaining == 0;
        slot->size = want;
        shared.PublishSlot(*slot);
        first = false;
    } while (remaining > 0);
    return Status::Ok();
}

Status PackPipeline::Finish() {
    Shared& shared = *m_shared;
    AcquireSRWLockExclusive(&shared.lock);
    shared.finishing = true;
    WakeAllConditionVariable(&shared.workReady);
    WakeAllConditionVariable(&shared.slotDone);
    ReleaseSRWLockExclusive(&shared.lock);
    for (const quor::KernelHandle& thread : shared.threads) {
        WaitForSingleObject(thread.get(), INFINITE);
    }
    shared.threads.clear();
    return shared.failure;
}

} // namespace bi
