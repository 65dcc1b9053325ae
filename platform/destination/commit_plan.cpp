// The plan's records, on every system. Each is a letter and its fields,
// numbers little-endian:
//   F  u32 length, the folder's path           the folder of the moves that follow
//   D  u32 length, the name; what comes in     a move (CommitPlan::Kind)
//   N  u32 length, the name; what comes in
//   X  u32 length, the name; what comes in; what was there
//   S  u32 length, the name; what was there
// An identity is u64 device, u64 number, u64 time, u32 kind; the time is
// when the file was made, or for the file there of an S record when it
// last changed.
#include "platform/destination/commit_plan.h"

#include <algorithm>
#include <vector>

#include "platform/destination/output_path.h"

namespace vaultcat::platform {

namespace {

constexpr char kFolderLetter = 'F';

// The bytes of an identity, and the least room a piece of records is made
// with.
constexpr size_t kIdentityBytes = 28;
constexpr size_t kPieceBytes = size_t{1} << 20;

void putNumber(std::string& into, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) into.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

void putText(std::string& into, std::string_view text) {
  putNumber(into, text.size(), 4);
  into.append(text);
}

void putIdentity(std::string& into, const FileIdentity& identity, bool changeTime) {
  putNumber(into, identity.device, 8);
  putNumber(into, identity.inode, 8);
  putNumber(into, static_cast<uint64_t>(changeTime ? identity.changed : identity.born), 8);
  putNumber(into, identity.type, 4);
}

// Which identities a record of `letter` holds.
bool holdsIn(char letter) { return letter != static_cast<char>(CommitPlan::Kind::kKept); }
bool holdsThere(char letter) {
  return letter == static_cast<char>(CommitPlan::Kind::kReplacement) ||
         letter == static_cast<char>(CommitPlan::Kind::kKept);
}

// The records, read from the front, each read checked against what is left.
class Cursor {
 public:
  explicit Cursor(std::string_view bytes) : bytes_(bytes) {}
  size_t offset() const { return offset_; }
  std::string_view rest() const { return bytes_.substr(offset_); }
  bool number(uint64_t& value, int bytes) {
    if (bytes_.size() - offset_ < static_cast<size_t>(bytes)) return false;
    value = 0;
    for (size_t i = static_cast<size_t>(bytes); i-- > 0;)
      value = value << 8 | static_cast<unsigned char>(bytes_[offset_ + i]);
    offset_ += static_cast<size_t>(bytes);
    return true;
  }
  bool text(std::string_view& value) {
    uint64_t length = 0;
    if (!number(length, 4) || length > bytes_.size() - offset_) return false;
    value = bytes_.substr(offset_, static_cast<size_t>(length));
    offset_ += static_cast<size_t>(length);
    return true;
  }
  bool identity(FileIdentity& value, bool changeTime) {
    uint64_t time = 0, type = 0;
    if (!number(value.device, 8) || !number(value.inode, 8) || !number(time, 8) || !number(type, 4))
      return false;
    (changeTime ? value.changed : value.born) = static_cast<int64_t>(time);
    value.type = static_cast<uint32_t>(type);
    return true;
  }

 private:
  std::string_view bytes_;
  size_t offset_ = 0;
};

// One record: a folder's path or a name, and the move it makes.
struct Record {
  char letter = 0;
  CommitPlan::Move move{};
  bool isFolder() const { return letter == kFolderLetter; }
  bool isMove() const { return letter != kFolderLetter; }
};

bool isRecordLetter(char letter) {
  using Kind = CommitPlan::Kind;
  for (const Kind kind : {Kind::kFolder, Kind::kFile, Kind::kReplacement, Kind::kKept})
    if (letter == static_cast<char>(kind)) return true;
  return letter == kFolderLetter;
}

// Reads the record at the cursor; false where the bytes end first.
bool readRecord(Cursor& cursor, Record& record) {
  uint64_t letter = 0;
  if (!cursor.number(letter, 1)) return false;
  record = {static_cast<char>(letter), {static_cast<CommitPlan::Kind>(letter), {}, {}, {}}};
  if (!cursor.text(record.move.name)) return false;
  if (record.isFolder()) return true;
  const bool kept = !holdsIn(record.letter);
  return (kept || cursor.identity(record.move.in, false)) &&
         (!holdsThere(record.letter) || cursor.identity(record.move.there, kept));
}

// A name an output may write from a cache: never one of the program's own
// (a staging folder's), nor one that leads out of its folder.
bool isWrittenName(std::string_view name) { return isSafeName(name) && !isOwnName(name); }

// A path of such names, joined by '/', or "" for the top.
bool isSafePath(std::string_view path) {
  while (!path.empty()) {
    const size_t slash = path.find('/');
    if (!isWrittenName(path.substr(0, slash))) return false;
    path.remove_prefix(slash == std::string_view::npos ? path.size() : slash + 1);
    if (slash != std::string_view::npos && path.empty()) return false;
  }
  return true;
}

// Whether the identities of a move read back are ones a run takes of real
// files: a file's number is never 0, and each is of the kind its move
// moves (the file a new folder comes in as is a folder; any other, a
// regular file). What comes in was made in the staging folder: on its
// device, and with a time it was made where the staging folder has one.
// Together with sameFileAs(), no field matches any file.
bool isReal(const Record& record, const FileIdentity& staging) {
  using Kind = CommitPlan::Kind;
  const CommitPlan::Move& move = record.move;
  const bool in = !holdsIn(record.letter) ||
                  (move.in.inode != 0 && move.in.device == staging.device &&
                   (staging.born == 0 || move.in.born != 0) &&
                   (move.kind == Kind::kFolder ? move.in.isFolder() : move.in.isFile()));
  return in && (!holdsThere(record.letter) || (move.there.inode != 0 && move.there.isFile()));
}

// Whether a record read back is one this plan writes: a folder under the
// destination or a name in it that an output may write, so that no move
// read leads out of the destination, nor to the staging folder; a move
// only after the folder it is in, of real identities.
bool isOurs(const Record& record, bool afterFolder, const FileIdentity& staging) {
  const std::string_view name = record.move.name;
  if (record.isFolder()) return isSafePath(name);
  return isWrittenName(name) && afterFolder && isReal(record, staging);
}

}  // namespace

std::string& CommitPlan::room(size_t bytes) {
  if (pieces_.empty() || pieces_.back().capacity() - pieces_.back().size() < bytes)
    pieces_.emplace_back().reserve(std::max(bytes, kPieceBytes));
  size_ += bytes;
  return pieces_.back();
}

bool CommitPlan::add(std::string_view folder, const Move& move) {
  const char letter = static_cast<char>(move.kind);
  const size_t identities = size_t{holdsIn(letter)} + size_t{holdsThere(letter)};
  const uint64_t bytes = 1 + 4 + move.name.size() + identities * kIdentityBytes;
  if (size_ + (1 + 4 + folder.size()) + bytes > kMostBytes) return false;
  // The moves of one folder come one after another, so a folder is
  // written once for each run of them.
  if (lastFolder_ != folder) {
    std::string& piece = room(1 + 4 + folder.size());
    piece.push_back(kFolderLetter);
    putText(piece, folder);
    lastFolder_ = folder;
  }
  std::string& piece = room(static_cast<size_t>(bytes));
  piece.push_back(letter);
  putText(piece, move.name);
  if (holdsIn(letter)) putIdentity(piece, move.in, false);
  if (holdsThere(letter)) putIdentity(piece, move.there, move.kind == Kind::kKept);
  ++moves_;
  if (move.kind == Kind::kReplacement) ++replacements_;
  return true;
}

bool CommitPlan::forward(const Reach& reach, const Visit& visit) const {
  for (const std::string& piece : pieces_) {
    Cursor cursor(piece);
    Record record;
    while (readRecord(cursor, record)) {
      if (record.isFolder() ? !reach(record.move.name) : record.isMove() && !visit(record.move))
        return false;
    }
  }
  return true;
}

// The records are read from the front only: where each run and each move
// begins is noted first, then they are read from the last.
bool CommitPlan::backward(const Reach& reach, const Visit& visit) const {
  struct Place {
    size_t piece, offset;
  };
  struct Run {
    Place folder;
    size_t first, end;  // its moves in `moves`
  };
  std::vector<Run> runs;
  std::vector<Place> moves;
  Record record;
  for (size_t piece = 0; piece < pieces_.size(); ++piece) {
    Cursor cursor(pieces_[piece]);
    for (size_t start = 0; readRecord(cursor, record); start = cursor.offset()) {
      if (record.isFolder()) runs.push_back({{piece, start}, moves.size(), moves.size()});
      if (!record.isMove() || runs.empty()) continue;
      moves.push_back({piece, start});
      runs.back().end = moves.size();
    }
  }
  const auto at = [&](Place place) {
    Cursor cursor(std::string_view(pieces_[place.piece]).substr(place.offset));
    readRecord(cursor, record);
    return record.move;
  };
  for (size_t run = runs.size(); run-- > 0;) {
    if (!reach(at(runs[run].folder).name)) return false;
    for (size_t move = runs[run].end; move-- > runs[run].first;)
      if (!visit(at(moves[move]))) return false;
  }
  return true;
}

bool CommitPlan::recordsFrom(uint64_t offset,
                             const std::function<bool(std::string_view)>& take) const {
  for (const std::string& piece : pieces_) {
    if (offset < piece.size() && !take(std::string_view(piece).substr(offset))) return false;
    offset -= std::min<uint64_t>(offset, piece.size());
  }
  return true;
}

std::optional<CommitPlan> CommitPlan::read(std::string_view& bytes, const FileIdentity& staging) {
  CommitPlan plan;
  Cursor cursor(bytes);
  Record record;
  bool cut = false;
  while (!cut && !cursor.rest().empty() && isRecordLetter(cursor.rest().front())) {
    const size_t start = cursor.offset();
    // A record cut short at the end was never written whole.
    if ((cut = !readRecord(cursor, record))) break;
    const std::string_view name = record.move.name;
    if (!isOurs(record, plan.lastFolder_.has_value(), staging)) return std::nullopt;
    if (record.isFolder()) plan.lastFolder_ = name;
    if (record.isMove()) ++plan.moves_;
    if (record.move.kind == Kind::kReplacement) ++plan.replacements_;
    plan.room(cursor.offset() - start).append(bytes.substr(start, cursor.offset() - start));
  }
  bytes.remove_prefix(cut ? bytes.size() : cursor.offset());
  return plan;
}

}  // namespace vaultcat::platform
