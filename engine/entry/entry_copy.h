// Entries in a method zipsalvage cannot decode (bzip2, LZMA, zstd, xz, PPMd, WinZip AES and any
// other number) are copied into the output as they are, compressed bytes and all, so their own
// reader can still open them.
#pragma once

#include <cstdint>

namespace zipsalvage {

struct EntryContext;
struct SalvagedEntry;
struct LocalHeader;
enum class EntryVerdict;

// True for an entry that is copied rather than decoded: its method is not decoded here, or it
// is WinZip AES without a readable AES field, or around a method not decoded here.
bool keepsMethodAsIs(const SalvagedEntry& entry);

// The entry's compressed size, when it is known: from its local header, unless flag bit 3 left
// the sizes there empty. A size a data descriptor records would be found here too.
bool knownCompressedSize(EntryContext& run, const LocalHeader& header, uint64_t& size);

// Copies the entry's data (the reader stands right after its extra field; the output right
// after its local header, name and extra fields) and logs the outcome. True when the whole
// data was copied; false when the entry is left out (data cut short, size unknown, cancelled,
// or a failed write). `verdict` is set to what the copy found: not checked when whole,
// unrecoverable when its data was cut short or unsized. The caller counts the entry found.
bool copyEntryAsIs(EntryContext& run, SalvagedEntry& entry, EntryVerdict& verdict);
// Copies an entry that no password opened in the same way, still encrypted: its flags, recorded
// CRC-32 and sizes stay, and a data descriptor follows where flag bit 3 is set (a traditional
// encryption header then checks the password against the mod time, APPNOTE 6.1.6), so the
// right password opens it later. The entry was counted found when it was judged; it counts
// undecryptable whether or not the copy succeeds (`verdict`, unless the run was cancelled or
// the write failed). True when the whole data was copied.
bool copyUndecryptable(EntryContext& run, SalvagedEntry& entry, EntryVerdict& verdict);

}  // namespace zipsalvage
