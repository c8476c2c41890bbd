#include "sim/sysfs_tree.h"

#include <filesystem>
#include <optional>
#include <string_view>
#include <utility>

#include "sim/state_files.h"

namespace fs = std::filesystem;

namespace sim {
namespace {

// What the state file "sysfs" records: the source the tree was made from,
// the tree, and the directories that left it, kept aside with their files
// ("spares"). A volume removed and made again (every update does it) gets
// its directories back by a rename: ext4 makes a new inode dearly when many
// were deleted a moment ago.
struct Record {
  std::string source;
  SysfsTree tree, spares;
};

// SOURCE NUL, then "d" PATH NUL for a directory, "f" PATH NUL TEXT NUL for a
// file, "s" and "a" for a spare's (attribute texts hold no NUL).
std::string record_text(const Record& r) {
  std::string out = r.source + '\0';
  auto add = [&](const SysfsTree& t, char dir, char file) {
    for (const std::string& d : t.dirs) out.append(1, dir).append(d) += '\0';
    for (const auto& [path, text] : t.files)
      out.append(1, file).append(path).append(1, '\0').append(text) += '\0';
  };
  add(r.tree, 'd', 'f');
  add(r.spares, 's', 'a');
  return out;
}

std::optional<Record> parse_record(std::string_view text) {
  auto field = [&]() -> std::optional<std::string> {
    size_t end = text.find('\0');
    if (end == std::string_view::npos) return std::nullopt;
    std::string value(text.substr(0, end));
    text.remove_prefix(end + 1);
    return value;
  };
  Record r;
  if (auto source = field()) {
    r.source = *source;
  } else {
    return std::nullopt;
  }
  while (!text.empty()) {
    char kind = text[0];
    text.remove_prefix(1);
    std::optional<std::string> path = field();
    if (!path) return std::nullopt;
    if (kind == 'd' || kind == 's') {
      (kind == 'd' ? r.tree : r.spares).dirs.insert(*path);
    } else if (auto value =
                   kind == 'f' || kind == 'a' ? field() : std::nullopt) {
      (kind == 'f' ? r.tree : r.spares).files[*path] = *value;
    } else {
      return std::nullopt;
    }
  }
  return r;
}

std::string parent_of(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// The files directly in directory d, taken out of files.
std::map<std::string, std::string> take_files_of(
    std::map<std::string, std::string>& files, const std::string& d) {
  std::map<std::string, std::string> out;
  std::string prefix = d + '/';
  for (auto it = files.lower_bound(prefix);
       it != files.end() && it->first.compare(0, prefix.size(), prefix) == 0;) {
    if (it->first.find('/', prefix.size()) == std::string::npos) {
      out.insert(out.end(), files.extract(it++));
    } else {
      ++it;
    }
  }
  return out;
}

// Makes sys hold the tree, whatever it holds now: entries that are gone are
// removed, and only files whose text differs are written.
void apply_tree(const SysfsTree& t, const fs::path& sys) {
  std::error_code ec;
  const std::pair<const char*, const char*> managed[] = {
      {"class/mtd", "mtd"},
      {"class/ubi", "ubi"},
      {"class/block", "mtdblock"},
      {"class/block", "ubiblock"}};
  for (const auto& [dir, prefix] : managed) {
    if (!fs::exists(sys / dir, ec)) continue;
    std::vector<fs::path> gone;
    for (const auto& e : fs::directory_iterator(sys / dir, ec)) {
      if (e.path().filename().string().rfind(prefix, 0) == 0 &&
          t.dirs.count(std::string(dir) + '/' + e.path().filename().string()) ==
              0)
        gone.push_back(e.path());
    }
    for (const fs::path& g : gone) fs::remove_all(g, ec);
  }
  for (const std::string& d : t.dirs) fs::create_directories(sys / d, ec);
  for (const auto& [path, text] : t.files) {
    std::string host = (sys / path).string();
    if (read_state(host) != text) rewrite_file(host, text);
  }
}

// Makes sys go from r.tree, which it holds, to t, touching only what
// differs: no file is read. A directory that goes joins the spares; one
// that comes back is taken from them.
void apply_changes(Record& r, const SysfsTree& t, const fs::path& sys,
                   const fs::path& spare) {
  std::error_code ec;
  std::map<std::string, std::string> held = r.tree.files;  // what is on disk
  for (const std::string& d : r.tree.dirs) {
    if (t.dirs.count(d) != 0) continue;
    if (r.spares.dirs.erase(d) != 0) {
      fs::remove_all(spare / d, ec);
      take_files_of(r.spares.files, d);
    }
    std::error_code moved;
    fs::create_directories((spare / d).parent_path(), moved);
    fs::rename(sys / d, spare / d, moved);
    if (moved) {
      fs::remove_all(sys / d, ec);
      continue;
    }
    r.spares.dirs.insert(d);
    r.spares.files.merge(take_files_of(held, d));
  }
  for (const auto& [path, text] : r.tree.files) {
    if (t.files.count(path) == 0 && t.dirs.count(parent_of(path)) != 0)
      fs::remove(sys / path, ec);
  }
  for (const std::string& d : t.dirs) {
    if (r.tree.dirs.count(d) != 0) continue;
    bool kept = r.spares.dirs.count(d) != 0;
    std::error_code moved;
    if (kept) {
      fs::create_directories((sys / d).parent_path(), ec);
      fs::rename(spare / d, sys / d, moved);
    }
    if (!kept || moved) {
      fs::create_directories(sys / d, ec);
      continue;
    }
    r.spares.dirs.erase(d);
    for (auto& [path, text] : take_files_of(r.spares.files, d)) {
      if (t.files.count(path) != 0) {
        held[path] = std::move(text);
      } else {
        fs::remove(sys / path, ec);
      }
    }
  }
  for (const auto& [path, text] : t.files) {
    auto it = held.find(path);
    if (it == held.end() || it->second != text)
      rewrite_file((sys / path).string(), text);
  }
  r.tree = t;
}

}  // namespace

void sysfs_sync(const std::string& dir, const std::string& source,
                const std::function<SysfsTree()>& make, std::string* known) {
  std::string record_file = dir + "/state/sysfs";
  fs::path sys = dir + "/root/sys", spare = dir + "/state/sysfs-spare";
  std::optional<std::string> recorded;
  if (known != nullptr && !known->empty()) {
    recorded = std::move(*known);
  } else {
    recorded = read_state(record_file);
  }
  // Most changes of state leave the tree as it is: the record starts with
  // its source, compared before anything is parsed.
  if (recorded && recorded->size() > source.size() &&
      recorded->compare(0, source.size(), source) == 0 &&
      (*recorded)[source.size()] == '\0') {
    if (known != nullptr) *known = std::move(*recorded);
    return;
  }
  std::optional<Record> r = recorded ? parse_record(*recorded) : std::nullopt;
  SysfsTree t = make();
  if (r) {
    apply_changes(*r, t, sys, spare);
  } else {
    // No record (a device made before it, or a torn one): the tree is read
    // from disk, and the spares start afresh.
    std::error_code ec;
    fs::remove_all(spare, ec);
    apply_tree(t, sys);
    r = Record{{}, t, {}};
  }
  r->source = source;
  std::string text = record_text(*r);
  rewrite_file(record_file, text);
  if (known != nullptr) *known = std::move(text);
}

}  // namespace sim
