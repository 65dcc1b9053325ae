// A folder extracted as a whole, all or nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/destination/existing_file.h"
#include "platform/destination/placement.h"
#include "platform/process/failure.h"
#include "platform/source/piece.h"
#include "platform/source/piece_writer.h"
#include "platform/source/source_file.h"

namespace vaultcat::platform {

// Every folder and file goes into a hidden staging folder first: inside the
// destination, or beside it where the destination does not exist yet. Only
// commit(), once everything is written, changes what is in the destination:
// a new folder is moved in with everything in it, a new file is moved in,
// and a file already there is replaced by the new one, the old one kept
// until keep(). Every folder of the destination is reached one name at a
// time from the destination's own, never through a link, and must still be
// the folder first found there; a file replaced must still be the one
// seen, and a file left as it is (it held the cache's bytes already) must
// still be there unchanged. Every way out that does not reach keep() leaves the destination as
// it was, an interrupt too; a run killed on the way leaves a journal in the
// staging folder, from which the next run into the destination takes it
// back. One run at a time extracts into a destination, and one output is
// pending at a time.
class OutputTree {
 public:
  OutputTree();
  ~OutputTree();
  OutputTree(const OutputTree&) = delete;
  OutputTree& operator=(const OutputTree&) = delete;

  // What is at a path under the destination.
  using Found = platform::Found;
  // Where an item goes, as far as the destination already has it.
  enum class Place {
    kInNewFolder,  // its folder is new too: it moves in with it
    kNew,          // its folder is there and it is not: it moves in alone
    kExisting,     // it is there already: a folder to go on in, a file to replace
  };
  // Why the output failed, and where: an item's path from the destination,
  // or (kCannotTakeBack) the staging folder that keeps the user's files.
  struct Problem {
    Failure failure;
    std::string path;
  };
  // What an earlier run into the destination, killed on the way, left: its
  // staging folder, and whether a commit of it had to be taken back (or
  // only what it staged cleared away); or, not `ours`, a folder named as a
  // staging folder that does not prove to be one of this user's runs, left
  // exactly as it is.
  struct Recovered {
    std::string staging;
    bool tookBack;
    bool ours = true;
  };

  // Takes `destination` as the folder to extract into; it is created if it
  // does not exist, and then its parent must. False, with nothing created,
  // if it cannot be, another run extracts into it (kBusy, after a moment's
  // wait), or an earlier run left a commit that cannot be taken back
  // (problem() says where its files are). The pieces written come from
  // `source`, which must outlive the output; neither it nor the file
  // standard output goes to is ever replaced.
  bool begin(const std::string& destination, const SourceFile& source);
  bool destinationExists() const { return destinationExists_; }
  // What earlier runs left that begin() cleared away.
  const std::vector<Recovered>& recovered() const { return recovered_; }
  // The longest path of an item under the destination that the system
  // takes, in bytes.
  uint64_t longestPath() const;
  // What is at `path` (parts joined by '/') under the destination now.
  Found inspect(const std::string& path);

  // The folder `path`.
  bool addFolder(const std::string& path, Place place);
  // The file `path`: its bytes go to writeAt() until endFile(), which is
  // false if any of them did not reach it.
  bool beginFile(const std::string& path, Place place);
  // The file `path` that the cache holds in part: as beginFile(), but
  // `length` bytes long at endFile(), what is never written of it a hole
  // (zeros, that take no room where the file system allows). Where
  // `joined`, it begins as a copy of the file at `path` that the last
  // comparison found kFillable, which it replaces, the bytes given written
  // over it: false where that is no longer the file compared, unchanged.
  bool beginPart(const std::string& path, Place place, uint64_t length, bool joined);
  WriteStatus writeAt(uint64_t offset, std::span<const Piece> pieces);
  // Writes what writeAt() held back, as OutputFile::flush(); endFile()
  // does too.
  WriteStatus flush();
  bool endFile();
  // The file already at `path` (a file to replace, kExisting), compared
  // with the `size` bytes given to writeAt() until endComparison() instead
  // of written. False where it cannot be compared, or is not `size` bytes
  // long: it is to be written then.
  bool beginComparison(const std::string& path, uint64_t size);
  // Ends the comparison. kSame: the file holds exactly the bytes given and
  // is left as it is, provided the commit finds it there, unchanged;
  // kDiffers: it is to be written as any other; kFailed: as endFile().
  // Where the bytes given leave some of the file's out, as those of a part
  // do: kHoldsThem, it holds them all, and is left as it is as for kSame;
  // kFillable, it differs from them only where it reads zeros, as an
  // earlier part with holes there does, which beginPart() can join.
  enum class Compared { kSame, kDiffers, kFailed, kHoldsThem, kFillable };
  Compared endComparison();

  // Puts everything in place, the replacing files on disk first. False if
  // something could not be; the destination is as it was then.
  bool commit();
  // Ends the extraction: what was put in place stays, and what it replaced
  // goes.
  void keep();
  // Leaves the destination as it was. False where a commit could not be
  // taken back: the user's files are then kept in the staging folder,
  // which problem() names.
  bool discard();
  // Why the last call that failed did.
  const Problem& problem() const { return problem_; }

 private:
  struct State;  // the pending output
  std::unique_ptr<State> state_;
  bool destinationExists_ = false;
  std::vector<Recovered> recovered_;
  Problem problem_;
};

}  // namespace vaultcat::platform
