#include "sim/sysfs_tree.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string_view>
#include <utility>

#include "sim/flash_model.h"
#include "sim/sim.h"
#include "sim/state_files.h"

namespace fs = std::filesystem;

namespace sim {
namespace {

// Directories and attribute files, by their paths under /sys
// ("class/ubi/ubi0/name"): plain strings, compared and split by hand, as
// every transaction of the flash builds and compares a tree.
struct SysfsTree {
  std::set<std::string> dirs;
  std::map<std::string, std::string> files;
};

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

// Makes the device in dir show the tree that make returns, made from source
// (a text that changes whenever the tree does): nothing when source is what
// it was, else only the directories and files that changed, so that the
// kernel's objects that stay keep their files as they would. known, when
// given and not empty, is the device's record of its tree as this process
// last read or wrote it, nothing having changed it since: the record file
// is then not read. It is left holding the record as it now stands.
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

// The flash's tree: the MTDs of its partitions and of the volumes (gluebi),
// the UBI devices and volumes attached, their block devices.

void attr(SysfsTree& t, const std::string& d, const char* name,
          const std::string& value) {
  t.files[d + '/' + name] = value + '\n';
}

void make_dir(SysfsTree& t, const std::string& d) { t.dirs.insert(d); }

void write_mtd(SysfsTree& t, int index, const std::string& name,
               const char* type, uint64_t size, uint32_t erasesize,
               uint32_t writesize, uint32_t subpage, uint32_t oob,
               std::optional<uint64_t> block_bytes) {
  std::string n = std::to_string(index);
  std::string d = "class/mtd/mtd" + n;
  make_dir(t, d);
  attr(t, d, "dev",
       std::to_string(mtd_char_major) + ":" + std::to_string(2 * index));
  attr(t, d, "name", name);
  attr(t, d, "type", type);
  attr(t, d, "size", std::to_string(size));
  attr(t, d, "erasesize", std::to_string(erasesize));
  attr(t, d, "writesize", std::to_string(writesize));
  attr(t, d, "subpagesize", std::to_string(subpage));
  attr(t, d, "oobsize", std::to_string(oob));
  std::string ro = d + "ro";
  make_dir(t, ro);
  attr(t, ro, "dev",
       std::to_string(mtd_char_major) + ":" + std::to_string(2 * index + 1));
  if (!block_bytes) return;  // mtdblock leaves this MTD alone
  std::string b = "class/block/mtdblock" + n;
  make_dir(t, b);
  attr(t, b, "dev", std::to_string(mtd_block_major) + ":" + n);
  attr(t, b, "size", std::to_string(*block_bytes / 512));
}

// Everything the sysfs tree is made from, as one text.
std::string sysfs_source(const Flash& f, const FlashRuntime& rt) {
  std::ostringstream out;
  const NandGeometry& g = f.geometry;
  out << g.size << ' ' << g.erasesize << ' ' << g.pagesize << ' ' << g.subpage
      << ' ' << g.oobsize << ' ' << f.mtdblock_volumes << " bad";
  for (uint32_t b : f.bad_blocks) out << ' ' << b;
  for (const SimPartition& p : f.partitions) {
    out << "\np " << p.name << ' ' << p.offset << ' ' << p.size;
    for (const SimVolume& v : p.volumes) {
      out << "\nv " << v.id << ' ' << v.name << ' ' << v.dynamic << ' '
          << v.corrupted << ' ' << v.upd_marker << ' ' << v.data_bytes << ' '
          << v.reserved_lebs;
    }
  }
  for (const AttachedUbi& a : rt.attached)
    out << "\na " << a.ubi_num << ' ' << a.partition << ' ' << a.leb_size << ' '
        << a.read_only;
  for (const GluebiMtd& gm : rt.gluebi) {
    out << "\ng " << gm.ubi_num << ' ' << gm.vol_id << ' ' << gm.mtd_index
        << ' ' << gm.block_bytes << ' ' << gm.name;
  }
  for (const UbiBlockDev& b : rt.ubiblocks)
    out << "\nb " << b.ubi_num << ' ' << b.vol_id << ' ' << b.minor;
  return out.str();
}

// The tree the flash and the attached devices show, by paths under /sys.
SysfsTree sysfs_tree(const Flash& f, const FlashRuntime& rt) {
  SysfsTree t;
  make_dir(t, "class/mtd");
  make_dir(t, "class/ubi");
  make_dir(t, "class/misc/ubi_ctrl");
  attr(t, "class/misc/ubi_ctrl", "dev",
       std::to_string(ubi_ctrl_major) + ":" + std::to_string(ubi_ctrl_minor));

  const NandGeometry& g = f.geometry;
  for (size_t i = 0; i < f.partitions.size(); ++i) {
    const SimPartition& p = f.partitions[i];
    write_mtd(t, static_cast<int>(i), p.name, "nand", p.size, g.erasesize,
              g.pagesize, g.subpage, g.oobsize, p.size);
  }
  for (const AttachedUbi& a : rt.attached) {
    const SimPartition& p = f.partitions[static_cast<size_t>(a.partition)];
    std::string dev = "ubi" + std::to_string(a.ubi_num);
    std::string d = "class/ubi/" + dev;
    make_dir(t, d);
    unsigned major = ubi_major(a.ubi_num);
    attr(t, d, "dev", std::to_string(major) + ":0");
    attr(t, d, "mtd_num", std::to_string(a.partition));
    attr(t, d, "ubi_num", std::to_string(a.ubi_num));
    attr(t, d, "eraseblock_size", std::to_string(a.leb_size));
    attr(t, d, "min_io_size", std::to_string(g.pagesize));
    attr(t, d, "ro_mode", a.read_only ? "1" : "0");
    attr(t, d, "volumes_count", std::to_string(p.volumes.size()));
    uint32_t used = 0;
    for (const SimVolume& v : p.volumes) used += v.reserved_lebs;
    UbiBlocks blocks = ubi_blocks(f, p);
    uint32_t avail = blocks.available;
    attr(t, d, "avail_eraseblocks",
         std::to_string(avail > used ? avail - used : 0));
    attr(t, d, "total_eraseblocks", std::to_string(blocks.good));
    attr(t, d, "bad_peb_count", std::to_string(blocks.bad));
    attr(t, d, "reserved_for_bad", std::to_string(blocks.reserved_for_bad));
    for (const SimVolume& v : p.volumes) {
      std::string vd = d + "_" + std::to_string(v.id);
      make_dir(t, vd);
      attr(t, vd, "dev",
           std::to_string(major) + ":" + std::to_string(v.id + 1));
      attr(t, vd, "name", v.name);
      attr(t, vd, "type", v.dynamic ? "dynamic" : "static");
      attr(t, vd, "alignment", "1");
      attr(t, vd, "corrupted", v.corrupted ? "1" : "0");
      attr(t, vd, "upd_marker", v.upd_marker ? "1" : "0");
      attr(t, vd, "data_bytes", std::to_string(volume_bytes(v, a.leb_size)));
      attr(t, vd, "reserved_ebs", std::to_string(v.reserved_lebs));
      attr(t, vd, "usable_eb_size", std::to_string(a.leb_size));
    }
  }
  for (const GluebiMtd& gm : rt.gluebi) {
    const AttachedUbi* a = find_attached(rt, gm.ubi_num);
    if (a == nullptr) continue;
    const SimPartition& p = f.partitions[static_cast<size_t>(a->partition)];
    for (const SimVolume& v : p.volumes) {
      if (v.id != gm.vol_id) continue;
      uint64_t size = v.dynamic ? uint64_t{v.reserved_lebs} * a->leb_size
                                : volume_bytes(v, a->leb_size);
      // Named when made: the kernel tells the MTD of no rename.
      write_mtd(
          t, gm.mtd_index, gm.name, "ubi", size, a->leb_size, g.pagesize,
          g.pagesize, 0,
          f.mtdblock_volumes ? std::optional(gm.block_bytes) : std::nullopt);
    }
  }
  for (const UbiBlockDev& b : rt.ubiblocks) {
    const AttachedUbi* a = find_attached(rt, b.ubi_num);
    if (a == nullptr) continue;
    const auto& vols = f.partitions[static_cast<size_t>(a->partition)].volumes;
    auto v = std::find_if(vols.begin(), vols.end(),
                          [&](const SimVolume& x) { return x.id == b.vol_id; });
    if (v == vols.end()) continue;
    std::string d = "class/block/ubiblock" + std::to_string(b.ubi_num) + "_" +
                    std::to_string(b.vol_id);
    make_dir(t, d);
    attr(t, d, "dev",
         std::to_string(ubiblock_major) + ":" + std::to_string(b.minor));
    // Whole sectors of what the volume holds, as it holds it now.
    attr(t, d, "size", std::to_string(volume_bytes(*v, a->leb_size) / 512));
  }
  return t;
}

}  // namespace

void sync_flash_sysfs(const std::string& dir, const Flash& f,
                      const FlashRuntime& rt, std::string* known) {
  sysfs_sync(
      dir, sysfs_source(f, rt), [&] { return sysfs_tree(f, rt); }, known);
}

}  // namespace sim
