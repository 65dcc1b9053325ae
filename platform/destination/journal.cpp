// The journal's records, on every system. After a header line, each record
// is a letter and its fields, numbers little-endian:
//   F  u32 length, the folder's path    the folder of the steps that follow
//   S  u32 length, the name; the identity of the file or folder put in
//      place; u8 1 and the identity of the file it replaces, or u8 0
//   R  u32 length, the name; the identity of the tree moved in as the
//      destination itself
//   C, K, U                                          a mark (Journal::Mark)
// An identity is u64 device, u64 number, u64 time made, u32 kind.
// A staging folder another user could write into could hold a journal made
// up to move what it likes: every length is checked against what is left,
// and every name must be one an output may write (output_path.h), so that
// no path read here leads out of the destination.
#include "platform/destination/journal.h"

#include <cstring>

#include "platform/destination/output_path.h"

namespace vaultcat::platform {

namespace {

constexpr std::string_view kHeader = "vaultcat journal 1\n";

void putNumber(std::string& into, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) into.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

void putText(std::string& into, std::string_view text) {
  putNumber(into, text.size(), 4);
  into.append(text);
}

void putIdentity(std::string& into, const FileIdentity& identity) {
  putNumber(into, identity.device, 8);
  putNumber(into, identity.inode, 8);
  putNumber(into, static_cast<uint64_t>(identity.born), 8);
  putNumber(into, identity.type, 4);
}

// The bytes of a journal, read from the front, each read checked against
// what is left.
class Cursor {
 public:
  explicit Cursor(std::string_view bytes) : rest_(bytes) {}
  bool atEnd() const { return rest_.empty(); }
  bool number(uint64_t& value, int bytes) {
    if (rest_.size() < static_cast<size_t>(bytes)) return false;
    value = 0;
    for (size_t i = static_cast<size_t>(bytes); i-- > 0;)
      value = value << 8 | static_cast<unsigned char>(rest_[i]);
    rest_.remove_prefix(static_cast<size_t>(bytes));
    return true;
  }
  bool text(std::string_view& value) {
    uint64_t length = 0;
    if (!number(length, 4) || length > rest_.size()) return false;
    value = rest_.substr(0, static_cast<size_t>(length));
    rest_.remove_prefix(static_cast<size_t>(length));
    return true;
  }
  bool identity(FileIdentity& value) {
    uint64_t born = 0, type = 0;
    if (!number(value.device, 8) || !number(value.inode, 8) || !number(born, 8) || !number(type, 4))
      return false;
    value.born = static_cast<int64_t>(born);
    value.type = static_cast<uint32_t>(type);
    return true;
  }

 private:
  std::string_view rest_;
};

// A path of names an output may write, joined by '/', or "" for the top.
bool isSafePath(std::string_view path) {
  while (!path.empty()) {
    const size_t slash = path.find('/');
    if (!isSafeName(path.substr(0, slash))) return false;
    path.remove_prefix(slash == std::string_view::npos ? path.size() : slash + 1);
    if (slash != std::string_view::npos && path.empty()) return false;
  }
  return true;
}

}  // namespace

bool Journal::create(At at) {
  close();
  bool taken = false;
  file_ = createFile(at, taken);
  failed_ = false;
  held_.assign(kHeader);
  return file_ != -1 && write();
}

void Journal::noteFolder(std::string_view folder) {
  held_.push_back('F');
  putText(held_, folder);
}

void Journal::noteStep(std::string_view name, const FileIdentity& placed,
                       const FileIdentity* replaced) {
  held_.push_back('S');
  putText(held_, name);
  putIdentity(held_, placed);
  held_.push_back(replaced != nullptr ? 1 : 0);
  if (replaced != nullptr) putIdentity(held_, *replaced);
  // Written out a few pages at a time.
  if (held_.size() >= (size_t{64} << 10)) write();
}

void Journal::noteRoot(std::string_view name, const FileIdentity& placed) {
  held_.push_back('R');
  putText(held_, name);
  putIdentity(held_, placed);
}

bool Journal::mark(Mark mark) {
  held_.push_back(static_cast<char>(mark));
  return write();
}

std::optional<Journal::Contents> Journal::read(At at) {
  const std::optional<std::string> bytes = readWhole(at);
  if (!bytes) return std::nullopt;
  Contents contents;
  // Cut short before its first record: nothing was moved.
  if (kHeader.starts_with(*bytes)) return contents;
  if (!bytes->starts_with(kHeader)) return std::nullopt;
  Cursor cursor(std::string_view(*bytes).substr(kHeader.size()));
  uint64_t kind = 0;
  while (cursor.number(kind, 1)) {
    std::string_view name;
    uint64_t replaces = 0;
    Step step{};
    switch (kind) {
      case 'F':
        if (!cursor.text(name))
          return contents.last == Mark::kNone ? contents : std::optional<Contents>();
        if (!isSafePath(name)) return std::nullopt;
        contents.folders.emplace_back(name);
        break;
      case 'S':
        if (!cursor.text(name) || !cursor.identity(step.placed) || !cursor.number(replaces, 1) ||
            (replaces == 1 && !cursor.identity(step.replaced)))
          return contents.last == Mark::kNone ? contents : std::optional<Contents>();
        if (!isSafeName(name) || replaces > 1 || contents.folders.empty() ||
            contents.names.size() > UINT32_MAX)
          return std::nullopt;
        step.folder = static_cast<uint32_t>(contents.folders.size() - 1);
        step.name = static_cast<uint32_t>(contents.names.size());
        step.replaces = replaces == 1;
        contents.names.append(name).push_back('\0');
        contents.steps.push_back(step);
        break;
      case 'R':
        if (!cursor.text(name) || !cursor.identity(contents.root))
          return contents.last == Mark::kNone ? contents : std::optional<Contents>();
        if (!isSafeName(name)) return std::nullopt;
        contents.rootName.emplace(name);
        break;
      case 'C':
      case 'K':
      case 'U':
        contents.last = static_cast<Mark>(kind);
        break;
      default:
        return std::nullopt;
    }
  }
  return contents;
}

}  // namespace vaultcat::platform
