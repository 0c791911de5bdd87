#pragma once
// Repaired copies of Outlook Express (.dbx) and Outlook (.pst) store files.
//
// A repair never touches its source: it copies the source into the output
// folder and fixes the copy's header there. The copy is written under a
// temporary name in the output folder and renamed into place at the end, so
// an existing destination is only replaced by a finished copy, a destination
// that is a link is replaced rather than followed, and a failed repair leaves
// nothing half-written behind.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "results/progress.h"

namespace brenix::mail {

// The store kinds a repair job handles (the numbers are the job's store kind).
enum class StoreKind : int { OutlookExpress = 1, Outlook = 2 };

// "dbx" / "pst" (case-insensitive) to a kind; nullopt for anything else.
std::optional<StoreKind> storeKindFromName(std::string_view name);

// Results of one repair: anything other than the two negative values is success.
inline constexpr int kUnsupportedFormat = -2;
inline constexpr int kRepairFailed = -1;
inline constexpr int kRepaired = 0;

// Outlook Express folder files: the text that marks a store the repair knows,
// where it lies, and the two header values the repair writes at offsets 0 and 4
// (the file signature and the first word of the folder-file class id).
inline constexpr uint64_t kDbxMarkerOffset = 9409;
inline constexpr char kDbxMarker[] = "LocalStore";  // compared with its terminating NUL (11 bytes)
inline constexpr uint32_t kDbxSignature = 0xFE12ADCF;
inline constexpr uint32_t kDbxClassIdHead = 0x6F74FDC5;
// Outlook personal folder files: the signature written at offset 0.
inline constexpr char kPstSignature[4] = {'!', 'B', 'D', 'N'};

// Repairs one file: copies `source` to `destination` and fixes the copy.
// Returns kRepaired, kUnsupportedFormat (the copy is kept unchanged) or
// kRepairFailed (nothing is left at `destination` that was not there before).
// A destination that is the source itself (same file by identity, including
// links) is refused with kRepairFailed before anything is created. The source
// must be a regular file. When `running` is given it is polled between copy
// chunks; a cleared flag abandons the copy with kRepairFailed.
int repairStore(StoreKind kind, const std::filesystem::path& source, const std::filesystem::path& destination,
                const RunningFlag* running = nullptr);
int repairDbx(const std::filesystem::path& source, const std::filesystem::path& destination,
              const RunningFlag* running = nullptr);
int repairPst(const std::filesystem::path& source, const std::filesystem::path& destination,
              const RunningFlag* running = nullptr);

// True when both paths name the same existing file (same device and inode).
bool sameFile(const std::filesystem::path& a, const std::filesystem::path& b);

}  // namespace brenix::mail
