// velnor-pack: makes and inspects firmware packages on the firmware
// builder's workstation, with the same library the device reads them with.
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "common/emit_line.h"
#include "common/os.h"
#include "common/progress.h"
#include "common/unique_fd.h"
#include "package/bpk.h"
#include "package/compatible.h"
#include "package/signature.h"
#include "package/validate.h"
#include "package/version.h"

namespace {

const char usage_text[] =
    "usage: velnor-pack create PKG --kernel FILE --rootfs FILE [--version "
    "TEXT]\n"
    "                          [--compatible BOARD]... [--add "
    "TYPE[:VARIANT]=FILE]...\n"
    "                          [--force]\n"
    "       velnor-pack list [--json] PKG\n"
    "       velnor-pack verify [--json] PKG [--key PUBLIC]... [--min-version "
    "A.B.C.D]\n"
    "                          [--compatible BOARD]\n"
    "       velnor-pack keygen NAME\n"
    "       velnor-pack sign PKG (--key SECRET | --key-env NAME)\n"
    "       velnor-pack extract [--force] PKG TYPE[:VARIANT] FILE\n"
    "       velnor-pack version PKG\n"
    "       velnor-pack --help | --version\n";

const char help_text[] =
    "\n"
    "Makes and inspects velnor firmware packages (.bpk2).\n"
    "\n"
    "Options may come anywhere after the command, as --opt VALUE or\n"
    "--opt=VALUE; \"--\" ends them. -h or --help after a command prints its\n"
    "usage. PKG \"-\" is standard input for list, verify, version and\n"
    "extract; create's PKG and extract's FILE \"-\" is standard output.\n"
    "Outputs: nothing is replaced that the command did not make. A regular\n"
    "file at the name is refused unless --force is given (it then keeps its\n"
    "mode), and so is one of the command's inputs; a symbolic link is\n"
    "followed; a FIFO, a terminal or a device is written through.\n"
    "A long create or sign shows how far it is on standard error when that\n"
    "is a terminal, and nothing otherwise.\n"
    "Exit status: 0 done, 1 a package or file that is damaged, missing or\n"
    "refused, 2 usage.\n"
    "\n"
    "  create   write PKG holding the rootfs image, then the kernel image, "
    "then\n"
    "           the version text (if given), a compatible entry for each\n"
    "           --compatible BOARD (the boards it is for), then each --add\n"
    "           entry in order.\n"
    "           The version text must parse (N.N.N.N, optional \"+\" and one "
    "of\n"
    "           r, t, x). PKG is written beside itself under a temporary "
    "name,\n"
    "           verified, and only then renamed into place.\n"
    "  list     one line per entry in file order: type (hex, and its name\n"
    "           where known), variant, size, stored CRC, and whether the data\n"
    "           matches it (ok or BAD). Exit 1 if anything is damaged.\n"
    "  verify   the check the device runs before installing, with the\n"
    "           device's own error lines. Exit 0 for a sound package. With\n"
    "           --key, the check of a device built with those trusted keys:\n"
    "           a signature by one of them must cover every other entry.\n"
    "           With --min-version, the check of a device built with that\n"
    "           version floor: the signed version must be at or above it.\n"
    "           With --compatible, the check of a device built with that\n"
    "           board name: a package that names boards must name it.\n"
    "  keygen   make a signing key pair: NAME.key (the secret key, readable\n"
    "           by its owner only) and NAME.pub (the public key, for the\n"
    "           device build's trusted keys); prints the key id.\n"
    "  sign     add a signature entry by SECRET to PKG (replacing one by the\n"
    "           same key; others stay): a manifest of every other entry with\n"
    "           its BLAKE2b-256 digest, signed with Ed25519. PKG is rewritten\n"
    "           under a temporary name and renamed into place. SECRET \"-\"\n"
    "           reads the key from standard input; --key-env NAME from the\n"
    "           environment variable NAME (a CI secret). A key file that\n"
    "           group or others may read draws a warning.\n"
    "  extract  copy one entry's data into FILE; refused if the data does not\n"
    "           match its CRC.\n"
    "  version  print the package's version (1.2.3.4, then \"+\" and the kind\n"
    "           letter where present).\n"
    "\n"
    "With --json, list and verify print one JSON document instead: its\n"
    "\"schema\" (1), the package, \"ok\", the container's stored and\n"
    "computed CRC, the version (or null), the boards it names, and every\n"
    "entry with its type, name, variant, size, stored and computed CRC and\n"
    "\"ok\"; verify adds \"check\": the device's verdict and its error\n"
    "lines. A package that cannot be opened gives \"error\" instead of the\n"
    "container and entries. The exit status is the same as without it.\n"
    "\n"
    "Key files hold hexadecimal digits on one line: 64 for a public key, 128\n"
    "for a secret key; a file of trusted keys has one public key per line.\n"
    "\n"
    "BOARD is 1 to 64 of the characters A-Z a-z 0-9 . _ , + -.\n"
    "TYPE is kernel, rootfs, version, signature, compatible or a 32-bit\n"
    "code in hex\n"
    "(0x504B4552);\n"
    "VARIANT is a number, 0 by default.\n"
    "\n"
    "Exit status: 0 success, 1 invalid package or unreadable file, 2 usage.\n";

int usage_error(const std::string& why) {
  emit_line(2, "velnor-pack: ", why);
  (void)!os::write(2, usage_text, sizeof usage_text - 1);
  return 2;
}

int fail(const std::string& what) {
  emit_line(2, "velnor-pack: ", what);
  return 1;
}

std::string hex8(uint32_t v) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", v);
  return text;
}

// The entry types known by name, for list and for TYPE on the command line.
struct EntryTypeName {
  const char* name;
  uint32_t type;
};
constexpr EntryTypeName entry_type_names[] = {
    {"kernel", bpk_type_kernel},         {"rootfs", bpk_type_rootfs},
    {"version", bpk_type_version},       {"signature", bpk_type_signature},
    {"compatible", bpk_type_compatible},
};

const char* type_name(uint32_t type) {
  for (const EntryTypeName& known : entry_type_names) {
    if (known.type == type) return known.name;
  }
  return nullptr;
}

std::optional<uint32_t> parse_number(const std::string& text, int base) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text.c_str(), &end, base);
  if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFull || text[0] == '-' ||
      text[0] == '+' || text[0] == ' ') {
    return std::nullopt;
  }
  return static_cast<uint32_t>(v);
}

struct EntryKey {
  uint32_t type;
  uint32_t variant;
};

// TYPE[:VARIANT]
std::optional<EntryKey> parse_key(const std::string& text) {
  std::string type_text = text, variant_text = "0";
  if (size_t colon = text.find(':'); colon != std::string::npos) {
    type_text = text.substr(0, colon);
    variant_text = text.substr(colon + 1);
  }
  std::optional<uint32_t> type;
  for (const EntryTypeName& known : entry_type_names) {
    if (type_text == known.name) type = known.type;
  }
  if (type_text.size() > 2 && (type_text.compare(0, 2, "0x") == 0 ||
                               type_text.compare(0, 2, "0X") == 0)) {
    type = parse_number(type_text.substr(2), 16);
  }
  std::optional<uint32_t> variant =
      variant_text.size() > 2 && (variant_text.compare(0, 2, "0x") == 0)
          ? parse_number(variant_text.substr(2), 16)
          : parse_number(variant_text, 10);
  if (!type || !variant || *type == bpk_no_entry) return std::nullopt;
  return EntryKey{*type, *variant};
}

ssize_t read_text(void* buffer, size_t capacity, void* context) {
  auto* rest = static_cast<std::string*>(context);
  size_t n = rest->size() < capacity ? rest->size() : capacity;
  std::memcpy(buffer, rest->data(), n);
  rest->erase(0, n);
  return static_cast<ssize_t>(n);
}

struct AddFile {
  EntryKey key;
  std::string path;
};

// Adds the file as an entry of the package being written to target.
int add_file(PackageFile* package, const std::string& target,
             const EntryKey& key, const std::string& path) {
  int rc = bpk_add_file(package, key.type, key.variant, path.c_str());
  if (rc == -1 || rc == -4) {
    return fail("cannot read " + path + ": " + errno_text());
  }
  if (rc != 0) return fail("cannot write " + target + ": " + errno_text());
  return 0;
}

// An image the device can install holds at least one byte.
// size: what the image adds to the package, when it is a regular file.
int check_image(const char* what, const std::string& path, uint64_t* size) {
  struct stat st;
  if (os::stat(path.c_str(), &st) != 0) {
    return fail("cannot read " + path + ": " + errno_text());
  }
  if (S_ISREG(st.st_mode) && st.st_size == 0) {
    return fail(std::string("the ") + what + " image " + path +
                " is empty: the device cannot install it");
  }
  if (S_ISREG(st.st_mode)) *size += bpk_entry_header_size + st.st_size;
  return 0;
}

// The device mounts its root from squashfs only: a rootfs image of another
// kind installs, and then the firmware cannot boot.
constexpr char squashfs_magic[] = "hsqs";
void warn_unless_squashfs(const std::string& what, const char* start,
                          size_t length) {
  if (length >= 4 && std::memcmp(start, squashfs_magic, 4) == 0) return;
  emit_line(2, "velnor-pack: warning: ", what,
            " does not begin as a squashfs image does: the device mounts "
            "nothing else, and such a package installs and then cannot boot");
}

// The same for the rootfs entry of a package that verifies.
void warn_unless_squashfs_entry(const std::string& pkg, PackageFile* package) {
  char start[4] = {};
  uint64_t got = 0;
  if (bpk_find(package, bpk_type_rootfs, 0, nullptr, nullptr) == 0) {
    got = bpk_read(package, start, sizeof start);
  }
  warn_unless_squashfs("the rootfs entry of " + pkg, start, got);
}

// A temporary name beside path, for a file that is renamed into place once
// it is whole.
std::string temporary_name(const std::string& path) {
  return path + ".tmp" + std::to_string(::getpid());
}

// Where a verb's output goes. A verb never replaces or truncates what it
// did not make: a name that holds nothing is made; a regular file is
// replaced only with --force (keeping its mode), and never when it is one
// of the verb's inputs; a symbolic link is followed, and the file it names
// is the one written; anything else (a FIFO, a terminal, /dev/null) is
// written through; "-" is standard output.
struct Output {
  std::string path;  // the file to make or replace; empty: write to fd
  int fd = -1;
  unique_fd owned;
  std::optional<std::filesystem::perms> mode;  // of the file replaced
  std::string name;                            // as the user gave it
};

int resolve_output(const std::string& out, bool force,
                   const std::vector<std::string>& inputs, Output* o) {
  o->name = out;
  if (out == "-") {
    o->fd = 1;
    return 0;
  }
  std::string target = out;
  struct stat st;
  if (os::lstat(out.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    std::error_code ec;
    target = std::filesystem::weakly_canonical(out, ec).string();
    if (ec) return fail("cannot follow " + out + ": " + ec.message());
  }
  if (os::stat(target.c_str(), &st) != 0) {
    if (errno != ENOENT) return fail("cannot use " + out + ": " + errno_text());
    o->path = target;
    return 0;
  }
  for (const std::string& input : inputs) {
    struct stat in;
    if (os::stat(input.c_str(), &in) == 0 && in.st_dev == st.st_dev &&
        in.st_ino == st.st_ino) {
      return fail(out + " is " + input + ", which this reads");
    }
  }
  if (S_ISREG(st.st_mode)) {
    if (!force) return fail(out + " exists (--force replaces it)");
    o->path = target;
    o->mode = static_cast<std::filesystem::perms>(st.st_mode & 07777);
    return 0;
  }
  if (S_ISDIR(st.st_mode)) return fail(out + " is a directory");
  o->owned.reset(os::open(target.c_str(), O_WRONLY | O_NOCTTY));
  if (!o->owned.ok()) return fail("cannot open " + out + ": " + errno_text());
  o->fd = o->owned.get();
  return 0;
}

// A temporary file for an output: beside the file it becomes, or, for a
// stream, in TMPDIR.
std::string output_temporary(const Output& out) {
  if (!out.path.empty()) return temporary_name(out.path);
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") +
         "/velnor-pack-out." + std::to_string(::getpid());
}

bool write_all(int fd, const char* data, uint64_t length) {
  while (length > 0) {
    ssize_t put = os::write(fd, data, length);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    data += put;
    length -= static_cast<uint64_t>(put);
  }
  return true;
}

// The whole temporary file becomes the output: renamed into place (with
// the mode of the file it replaces), or copied into the stream. Removed
// in every case.
int finish_output(const Output& out, const std::string& temporary) {
  struct Removed {
    const std::string& path;
    ~Removed() { os::unlink(path.c_str()); }
  } removed{temporary};
  if (out.path.empty()) {
    unique_fd in(os::open(temporary.c_str(), O_RDONLY));
    char buffer[65536];
    ssize_t got = 0;
    while (in.ok() && (got = os::read(in.get(), buffer, sizeof buffer)) > 0) {
      if (!write_all(out.fd, buffer, static_cast<uint64_t>(got))) break;
      got = 0;
    }
    if (!in.ok() || got != 0) {
      return fail("cannot write " + out.name + ": " + errno_text());
    }
    return 0;
  }
  if (out.mode) {
    std::error_code ec;
    std::filesystem::permissions(temporary, *out.mode, ec);
  }
  if (os::rename(temporary.c_str(), out.path.c_str()) != 0) {
    return fail("cannot rename " + temporary + " to " + out.path + ": " +
                errno_text());
  }
  return 0;
}

// Writes the package through fill, under a temporary name, so that a
// failure never leaves a package that looks valid: made exclusively (never
// a file, or a link to one, that someone else put at that name, which is
// then left alone), checked as the device checks it, and only then made
// the output. fill returns 0, or the exit status after its own message.
// checks: the check the written package must pass first (a keyed
// device's, for a signed one).
// A long write shows how far it is on a terminal (standard error), and
// nothing elsewhere: the library notes each progress_notice_bytes it moves
// (common/progress.h), counted against what the verb moves in all.
struct ProgressLine {
  std::string label;
  uint64_t total = 0;
  uint64_t moved = 0;
  int shown = -1;
};
ProgressLine progress_line;

void show_moved() {
  ProgressLine& p = progress_line;
  p.moved += progress_notice_bytes;
  int percent =
      static_cast<int>(std::min<uint64_t>(99, p.moved * 100 / p.total));
  if (percent == p.shown) return;
  p.shown = percent;
  std::string text =
      "\rvelnor-pack: " + p.label + " " + std::to_string(percent) + "%";
  (void)!os::write(2, text.data(), text.size());
}

struct ShowProgress {
  ShowProgress(const std::string& label, uint64_t total) {
    if (total < 8 * progress_notice_bytes || os::isatty(2) != 1) return;
    progress_line = {label, total, 0, -1};
    set_progress_hook(show_moved);
  }
  ~ShowProgress() {
    set_progress_hook(nullptr);
    if (progress_line.shown < 0) return;
    std::string text = "\rvelnor-pack: " + progress_line.label + " done\n";
    (void)!os::write(2, text.data(), text.size());
    progress_line.shown = -1;
  }
};

// bytes: what fill writes, for the progress line (the check reads it again).
int write_package(
    const Output& out, uint64_t bytes,
    const std::function<int(PackageFile*, const std::string&)>& fill,
    const SignatureHooks* checks = nullptr) {
  ShowProgress progress("writing " + out.name, 2 * bytes);
  std::string temporary = output_temporary(out);
  auto give_up = [&](int rc) {
    os::unlink(temporary.c_str());
    return rc;
  };
  {
    PackagePtr package = bpk_create_new(temporary.c_str());
    if (!package) {
      int error = errno;
      if (error != EEXIST) os::unlink(temporary.c_str());
      errno = error;
      return fail("cannot create " + temporary + ": " + errno_text());
    }
    if (int rc = fill(package.get(), temporary)) return give_up(rc);
  }
  PackagePtr check = bpk_open(temporary.c_str(), false);
  if (!check || validate_package(check.get(), nullptr, checks) != 0) {
    return give_up(fail("the written package does not verify"));
  }
  check.reset();
  return finish_output(out, temporary);
}

// Whether the four numbers of a version text that parses each fit in 32
// bits: the parser wraps a larger one, and the package would then name
// another version than the one asked for.
bool version_numbers_fit(const std::string& text) {
  uint64_t n = 0;
  int runs = 0;
  for (char c : text) {
    if (c >= '0' && c <= '9') {
      n = n * 10 + static_cast<uint64_t>(c - '0');
      if (n > 0xFFFFFFFFu) return false;
    } else {
      if (++runs == 4) break;
      n = 0;
    }
  }
  return true;
}

// Where sign's secret key comes from.
struct KeySource {
  std::string path;                // a file, "-" for standard input
  std::optional<std::string> env;  // or an environment variable
};

// The command line, as getopt_long found it: each verb takes a part.
struct Options {
  bool json = false;
  bool force = false;
  std::vector<std::string> keys;
  std::optional<std::string> key_env;
  std::optional<std::string> min_version, kernel, rootfs, version;
  std::vector<std::string> compatible;  // board names
  std::vector<AddFile> extra;
};

int create(const std::string& pkg, const Options& options) {
  const std::optional<std::string>& kernel = options.kernel;
  const std::optional<std::string>& rootfs = options.rootfs;
  const std::optional<std::string>& version = options.version;
  const std::vector<AddFile>& extra = options.extra;
  uint64_t total = bpk_header_size;
  if (check_image("kernel", *kernel, &total) ||
      check_image("rootfs", *rootfs, &total)) {
    return 1;
  }
  for (const AddFile& a : extra) {
    if (check_image("added", a.path, &total)) return 1;
  }
  if (version) total += bpk_entry_header_size + version->size();
  for (const std::string& board : options.compatible)
    total += bpk_entry_header_size + board.size();
  if (total >= bpk_container_limit) {
    return fail("the package would take " + std::to_string(total) +
                " bytes: a package must stay below 2 GiB (" +
                std::to_string(bpk_container_limit) + " bytes)");
  }
  {
    char start[4] = {};
    unique_fd image(os::open(rootfs->c_str(), O_RDONLY | O_NONBLOCK));
    ssize_t got = image.ok() ? os::read(image.get(), start, 4) : -1;
    warn_unless_squashfs("the rootfs image " + *rootfs, start,
                         got > 0 ? static_cast<size_t>(got) : 0);
  }
  if (version) {
    FirmwareVersion parsed;
    if (parse_version(version->c_str(), &parsed) != 0 ||
        !version_numbers_fit(*version)) {
      return fail("version text does not parse: \"" + *version + "\"");
    }
  }

  std::vector<std::string> inputs = {*kernel, *rootfs};
  for (const AddFile& a : extra) inputs.push_back(a.path);
  Output out;
  if (int rc = resolve_output(pkg, options.force, inputs, &out)) return rc;
  return write_package(
      out, total, [&](PackageFile* package, const std::string& temporary) {
        if (add_file(package, temporary, {bpk_type_rootfs, 0}, *rootfs) ||
            add_file(package, temporary, {bpk_type_kernel, 0}, *kernel)) {
          return 1;
        }
        if (version) {
          std::string rest = *version;
          if (bpk_add_stream(package, bpk_type_version, 0, read_text, &rest)) {
            return fail("cannot write " + temporary + ": " +
                        std::string(errno_text()));
          }
        }
        for (const std::string& board : options.compatible) {
          std::string rest = board;
          if (bpk_add_stream(package, bpk_type_compatible, 0, read_text,
                             &rest)) {
            return fail("cannot write " + temporary + ": " +
                        std::string(errno_text()));
          }
        }
        for (const AddFile& a : extra) {
          if (add_file(package, temporary, a.key, a.path)) return 1;
        }
        return 0;
      });
}

// Why bpk_open failed, from its errno.
std::string open_failure(const std::string& pkg) {
  return "cannot open " + pkg + ": " +
         (errno == EILSEQ ? std::string("not a package")
          : errno == EINVAL || errno == EISDIR
              ? std::string("not a regular file")
              : std::string(errno_text()));
}

PackagePtr open_or_report(const std::string& pkg) {
  PackagePtr package = bpk_open(pkg.c_str(), false);
  if (!package) fail(open_failure(pkg));
  return package;
}

std::string version_text(const FirmwareVersion& v) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    if (i) text += ".";
    text += std::to_string(v.numbers[i]);
  }
  if (v.plus) text += "+";
  if (v.kind < 3) text += "xtr"[v.kind];
  return text;
}

// The key id of the selected entry's signature, when it is one that parses.
std::optional<std::string> signer_of(PackageFile* package, uint32_t type,
                                     uint64_t size) {
  if (type != bpk_type_signature || size > (1u << 20)) return std::nullopt;
  std::string data(size, '\0');
  if (bpk_read(package, data.data(), size) != size) return std::nullopt;
  std::optional<SignatureEntry> entry = signature_entry_parse(data);
  if (!entry) return std::nullopt;
  return key_id_text(entry->manifest.key_id);
}

// The package as list and verify see it, for scripts.
nlohmann::json describe(const std::string& pkg, PackageFile* package) {
  using nlohmann::json;
  uint32_t stored = 0;
  uint32_t computed = bpk_container_crc(package, &stored);
  bool container_ok = bpk_verify(package) == 0;
  json doc = {{"package", pkg},
              {"container",
               {{"stored_crc", hex8(stored)},
                {"computed_crc",
                 computed == bpk_crc_failed ? json() : json(hex8(computed))},
                {"ok", container_ok}}}};
  FirmwareVersion v;
  doc["version"] = read_package_version(pkg.c_str(), &v) == 0
                       ? json(version_text(v))
                       : json();
  json entries = json::array();
  json boards = json::array();
  bool ok = container_ok;
  bpk_rewind(package);
  uint64_t size;
  uint32_t crc, variant, type;
  while (bpk_next_entry(package, &type, &size, &crc, &variant) == 0) {
    uint32_t actual = 0;
    bool readable = bpk_entry_crc_checked(package, &actual) == 0;
    const char* name = type_name(type);
    std::optional<std::string> signer = signer_of(package, type, size);
    entries.push_back({{"type", "0x" + hex8(type)},
                       {"name", name ? json(name) : json()},
                       {"variant", variant},
                       {"size", size},
                       {"stored_crc", hex8(crc)},
                       {"computed_crc", readable ? json(hex8(actual)) : json()},
                       {"ok", readable && actual == crc}});
    if (signer) entries.back()["key_id"] = *signer;
    if (type == bpk_type_compatible) {
      std::string board = compatible_entry_name(package, size, crc);
      if (!board.empty()) boards.push_back(board);
    }
    ok = ok && readable && actual == crc;
  }
  doc["compatible"] = boards;
  doc["entries"] = entries;
  doc["ok"] = ok;
  return doc;
}

// The version of the documents' layout: a script can tell a layout it
// does not know. Fields are only ever added within a version.
constexpr int json_schema = 1;

void print_json(nlohmann::json doc) {
  doc["schema"] = json_schema;
  std::string text = doc.dump(2) + "\n";
  (void)!os::write(1, text.data(), text.size());
}

// The device's check, its error lines captured: it runs in a child whose
// standard error is a pipe. 0 for a sound package.
int device_check(PackageFile* package, const SignatureHooks* signatures,
                 const char* board, std::vector<std::string>* lines) {
  int fds[2];
  if (os::pipe(fds) != 0) return -1;
  pid_t child = os::fork();
  if (child == 0) {
    os::close(fds[0]);
    os::dup2(fds[1], 2);
    os::exit(validate_package(package, nullptr, signatures, board) == 0 ? 0
                                                                        : 1);
  }
  os::close(fds[1]);
  std::string text;
  char buffer[4096];
  ssize_t got;
  while ((got = os::read(fds[0], buffer, sizeof buffer)) > 0) {
    text.append(buffer, static_cast<size_t>(got));
  }
  os::close(fds[0]);
  int status = 0;
  if (child < 0 || os::wait4(child, &status, 0, nullptr) != child) return -1;
  for (size_t start = 0, end; start < text.size(); start = end + 1) {
    end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines->push_back(text.substr(start, end - start));
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : -1;
}

// The document for a package that cannot be opened at all.
nlohmann::json unopened(const std::string& pkg, const std::string& error) {
  return {{"package", pkg}, {"ok", false}, {"error", error}};
}

int list_json(const std::string& pkg) {
  PackagePtr package = bpk_open(pkg.c_str(), false);
  if (!package) {
    std::string error = open_failure(pkg);
    print_json(unopened(pkg, error));
    return fail(error);
  }
  nlohmann::json doc = describe(pkg, package.get());
  print_json(doc);
  return doc["ok"].get<bool>() ? 0 : 1;
}

int verify_json(const std::string& pkg, const SignatureHooks* signatures,
                const char* board) {
  PackagePtr package = bpk_open(pkg.c_str(), false);
  if (!package) {
    nlohmann::json doc = unopened(pkg, open_failure(pkg));
    doc["check"] = {{"ok", false},
                    {"lines", {"Failed to open bpk file: " + pkg}}};
    print_json(doc);
    return 1;
  }
  std::vector<std::string> lines;
  bool sound = device_check(package.get(), signatures, board, &lines) == 0;
  if (sound) warn_unless_squashfs_entry(pkg, package.get());
  nlohmann::json doc = describe(pkg, package.get());
  doc["check"] = {{"ok", sound}, {"lines", lines}};
  doc["ok"] = sound;
  print_json(doc);
  return sound ? 0 : 1;
}

int list(const std::string& pkg) {
  PackagePtr package = open_or_report(pkg);
  if (!package) return 1;
  bool sound = bpk_verify(package.get()) == 0;
  uint64_t size;
  uint32_t crc, variant, type;
  // Every entry the device could find, 0xDEADBEEF among them.
  while (bpk_next_entry(package.get(), &type, &size, &crc, &variant) == 0) {
    uint32_t actual = 0;
    bool matches =
        bpk_entry_crc_checked(package.get(), &actual) == 0 && actual == crc;
    sound = sound && matches;
    const char* name = type_name(type);
    std::optional<std::string> signer = signer_of(package.get(), type, size);
    emit_line(1, "0x", hex8(type), name ? " " : "", name ? name : "",
              " variant ", std::to_string(variant), " size ",
              std::to_string(size), " crc ", hex8(crc),
              matches ? " ok" : " BAD", signer ? " key " : "",
              signer ? *signer : "");
  }
  if (bpk_verify(package.get()) != 0) {
    emit_line(2, "velnor-pack: ", pkg,
              ": container structure or CRC is damaged");
  }
  return sound ? 0 : 1;
}

int verify(const std::string& pkg, const SignatureHooks* signatures,
           const char* board) {
  PackagePtr package = bpk_open(pkg.c_str(), false);
  if (!package) {
    emit_line(2, "Failed to open bpk file: ", pkg);
    return 1;
  }
  if (validate_package(package.get(), nullptr, signatures, board) != 0)
    return 1;
  warn_unless_squashfs_entry(pkg, package.get());
  return 0;
}

int keygen(const std::string& name) {
  PublicKey public_key;
  SecretKey secret_key;
  if (!signature_library_ready() || !key_pair_new(&public_key, &secret_key)) {
    return fail("cannot make a key pair");
  }
  std::string secret_path = name + ".key", public_path = name + ".pub";
  // NAME.pub may be a list of trusted keys: never written over.
  struct stat st;
  if (os::lstat(public_path.c_str(), &st) == 0) {
    return fail("cannot create " + public_path + ": " + std::strerror(EEXIST));
  }
  // Exclusively, and readable by its owner only from the start.
  int fd = os::open(secret_path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
  if (fd < 0) return fail("cannot create " + secret_path + ": " + errno_text());
  std::string text = key_text(secret_key.data(), secret_key.size()) + "\n";
  bool written = os::write(fd, text.data(), text.size()) ==
                 static_cast<ssize_t>(text.size());
  std::string why = errno_text();
  if (os::close(fd) != 0 && written) {
    written = false;
    why = errno_text();
  }
  if (!written) {
    os::unlink(secret_path.c_str());
    return fail("cannot write " + secret_path + ": " + why);
  }
  std::string temporary = temporary_name(public_path);
  fd = os::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  text = key_text(public_key.data(), public_key.size()) + "\n";
  if (fd < 0 ||
      os::write(fd, text.data(), text.size()) !=
          static_cast<ssize_t>(text.size()) ||
      os::close(fd) != 0 ||
      os::rename(temporary.c_str(), public_path.c_str()) != 0) {
    why = errno_text();
    os::unlink(temporary.c_str());
    os::unlink(secret_path.c_str());
    return fail("cannot write " + public_path + ": " + why);
  }
  emit_line(1, "key id ", key_id_text(key_id_of(public_key)));
  return 0;
}

// The selected entry's data, for bpk_add_stream.
ssize_t entry_reader(void* buffer, size_t capacity, void* package) {
  errno = 0;
  uint64_t got = bpk_read(static_cast<PackageFile*>(package), buffer, capacity);
  return got == 0 && errno == EIO ? -1 : static_cast<ssize_t>(got);
}

// The secret key from where the command line says: a file ("-": standard
// input), or the environment variable of --key-env (a CI secret). A key
// file others may read draws a warning.
std::optional<SecretKey> secret_key_from(const KeySource& source) {
  if (source.env) {
    const char* text = std::getenv(source.env->c_str());
    return text != nullptr ? secret_key_parse(text) : std::nullopt;
  }
  if (source.path == "-") {
    std::string text;
    char buffer[512];
    for (ssize_t got; (got = os::read(0, buffer, sizeof buffer)) != 0;) {
      if (got < 0 && errno == EINTR) continue;
      if (got < 0 || text.size() > 4096) return std::nullopt;
      text.append(buffer, static_cast<size_t>(got));
    }
    return secret_key_parse(text);
  }
  struct stat st;
  if (os::stat(source.path.c_str(), &st) == 0 &&
      (st.st_mode & (S_IRGRP | S_IROTH)) != 0) {
    emit_line(2, "velnor-pack: warning: ", source.path,
              " is readable by group or others: a secret key is for its "
              "owner alone (chmod 600)");
  }
  return secret_key_read(source.path.c_str());
}

int sign(const std::string& pkg, const KeySource& key_source) {
  if (!signature_library_ready()) return fail("cannot start libsodium");
  std::optional<SecretKey> key = secret_key_from(key_source);
  const std::string key_path = key_source.env           ? "$" + *key_source.env
                               : key_source.path == "-" ? "standard input"
                                                        : key_source.path;
  if (!key) return fail(key_path + " holds no secret key");
  // A key whose halves disagree makes signatures no device accepts.
  if (!secret_key_consistent(*key)) {
    return fail(key_path + ": the public half is not the one of its seed");
  }
  PublicKey public_key;
  std::copy_n(key->begin() + 32, public_key.size(), public_key.begin());
  std::string id = key_id_text(key_id_of(public_key));
  PackagePtr source = open_or_report(pkg);
  if (!source) return 1;
  // Only a package the device would take: a signature vouches for the
  // data as it is, damaged or not.
  if (validate_package(source.get()) != 0) {
    return fail(pkg + " does not verify: not signed");
  }
  errno = 0;
  std::optional<Manifest> manifest = manifest_of(source.get());
  if (!manifest && errno == 0)
    return fail(pkg + " has more entries than a signature can list");
  if (!manifest) return fail("cannot read " + pkg + ": " + errno_text());
  manifest->key_id = key_id_of(public_key);
  std::string signature = signature_entry_bytes(*manifest, *key);
  // The result passes the check of a device that trusts this key alone.
  SignatureHooks checks = signature_hooks(&public_key, 1);

  // Every entry as it was, but a signature by the same key; the new one
  // last. One walk through the package, whatever its number of entries.
  // The file signed is the one a link names; it keeps its mode.
  Output out;
  out.name = pkg;
  std::error_code ec;
  out.path = std::filesystem::canonical(pkg, ec).string();
  struct stat st;
  if (ec || os::stat(out.path.c_str(), &st) != 0) {
    return fail("cannot read " + pkg + ": " + errno_text());
  }
  out.mode = static_cast<std::filesystem::perms>(st.st_mode & 07777);
  int rc = write_package(
      out, static_cast<uint64_t>(st.st_size),
      [&](PackageFile* target, const std::string& temporary) {
        auto cannot_write = [&] {
          return fail("cannot write " + temporary + ": " + errno_text());
        };
        if (bpk_rewind(source.get()) < 0) return cannot_write();
        uint32_t type, variant, crc;
        uint64_t size;
        size_t kept_signatures = 0;
        while (bpk_next_entry(source.get(), &type, &size, &crc, &variant) ==
               0) {
          if (type == bpk_type_signature && variant == 0 &&
              size <= (1u << 20)) {
            std::string data(size, '\0');
            if (bpk_read(source.get(), data.data(), size) != size)
              return cannot_write();
            std::optional<SignatureEntry> entry = signature_entry_parse(data);
            if (entry && key_id_text(entry->manifest.key_id) == id) continue;
            ++kept_signatures;
            if (bpk_add_stream(target, type, variant, read_text, &data) != 0)
              return cannot_write();
          } else {
            // A signature entry too large to be one still counts.
            kept_signatures += type == bpk_type_signature && variant == 0;
            if (bpk_add_stream(target, type, variant, entry_reader,
                               source.get()) != 0) {
              return cannot_write();
            }
          }
        }
        if (kept_signatures >= signature_entries_limit) {
          return fail(pkg + " holds " + std::to_string(kept_signatures) +
                      " signatures by other keys: a device takes no more "
                      "than " +
                      std::to_string(signature_entries_limit));
        }
        if (bpk_add_stream(target, bpk_type_signature, 0, read_text,
                           &signature) != 0) {
          return cannot_write();
        }
        return 0;
      },
      &checks);
  if (rc != 0) return rc;
  emit_line(1, "signed with key id ", id);
  return 0;
}

int extract(const std::string& pkg, const std::string& key_text,
            const std::string& out, bool force) {
  std::optional<EntryKey> key = parse_key(key_text);
  if (!key) return usage_error("bad entry " + key_text + " (TYPE[:VARIANT])");
  PackagePtr package = open_or_report(pkg);
  if (!package) return 1;
  uint32_t stored = 0, actual = 0;
  if (bpk_find(package.get(), key->type, key->variant, nullptr, &stored) != 0) {
    return fail("no entry " + key_text + " in " + pkg);
  }
  if (bpk_entry_crc_checked(package.get(), &actual) != 0 || actual != stored) {
    return fail("entry " + key_text + " in " + pkg + " is damaged");
  }
  Output output;
  if (int rc = resolve_output(out, force, {pkg}, &output)) return rc;
  if (output.path.empty()) {
    // A stream: the data as it is read.
    if (bpk_find(package.get(), key->type, key->variant, nullptr, nullptr) != 0)
      return fail("cannot read " + pkg);
    char buffer[65536];
    for (uint64_t got;
         (got = bpk_read(package.get(), buffer, sizeof buffer)) != 0;) {
      if (!write_all(output.fd, buffer, got)) {
        return fail("cannot write " + out + ": " + errno_text());
      }
    }
    return 0;
  }
  // Never a half-written FILE: the data goes to a temporary file beside
  // it, made the output once whole.
  std::string temporary = output_temporary(output);
  int made = os::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
  if (made < 0) return fail("cannot create " + temporary + ": " + errno_text());
  os::close(made);
  if (bpk_extract(package.get(), temporary.c_str()) != 0) {
    std::string why = errno_text();
    os::unlink(temporary.c_str());
    return fail("cannot write " + temporary + ": " + why);
  }
  return finish_output(output, temporary);
}

int version(const std::string& pkg) {
  // Only a version the package's CRCs vouch for.
  PackagePtr package = open_or_report(pkg);
  if (!package) return 1;
  uint32_t stored = 0, actual = 0;
  if (bpk_verify(package.get()) != 0) {
    return fail(pkg + ": container structure or CRC is damaged");
  }
  if (bpk_find(package.get(), bpk_type_version, 0, nullptr, &stored) == 0 &&
      (bpk_entry_crc_checked(package.get(), &actual) != 0 ||
       actual != stored)) {
    return fail("the version entry of " + pkg + " is damaged");
  }
  package.reset();
  FirmwareVersion v;
  int rc = read_package_version(pkg.c_str(), &v);
  if (rc == -ENOENT) return fail("cannot open " + pkg);
  if (rc == -ENODATA) return fail(pkg + " has no version entry");
  if (rc != 0) return fail("the version entry of " + pkg + " does not parse");
  emit_line(1, version_text(v));
  return 0;
}

}  // namespace

// Each verb's usage lines, and the options it takes.
struct Verb {
  const char* name;
  const char* usage;
  const char* takes;  // the letters of its options below
  size_t operands;    // PKG (or NAME), then what else
};
const Verb verbs[] = {
    {"create",
     "usage: velnor-pack create PKG --kernel FILE --rootfs FILE [--version "
     "TEXT]\n"
     "                          [--compatible BOARD]... [--add "
     "TYPE[:VARIANT]=FILE]...\n"
     "                          [--force]\n",
     "KrVcaf", 1},
    {"list", "usage: velnor-pack list [--json] PKG\n", "j", 1},
    {"verify",
     "usage: velnor-pack verify [--json] PKG [--key PUBLIC]... "
     "[--min-version A.B.C.D]\n"
     "                          [--compatible BOARD]\n",
     "jkmc", 1},
    {"keygen", "usage: velnor-pack keygen NAME\n", "", 1},
    {"sign", "usage: velnor-pack sign PKG (--key SECRET | --key-env NAME)\n",
     "kE", 1},
    {"extract",
     "usage: velnor-pack extract [--force] PKG TYPE[:VARIANT] FILE\n", "f", 3},
    {"version", "usage: velnor-pack version PKG\n", "", 1},
};

const option long_options[] = {
    {"json", no_argument, nullptr, 'j'},
    {"key", required_argument, nullptr, 'k'},
    {"min-version", required_argument, nullptr, 'm'},
    {"kernel", required_argument, nullptr, 'K'},
    {"rootfs", required_argument, nullptr, 'r'},
    {"version", required_argument, nullptr, 'V'},
    {"add", required_argument, nullptr, 'a'},
    {"compatible", required_argument, nullptr, 'c'},
    {"key-env", required_argument, nullptr, 'E'},
    {"force", no_argument, nullptr, 'f'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

int verb_usage_error(const Verb& verb, const std::string& why) {
  emit_line(2, "velnor-pack: ", why);
  (void)!os::write(2, verb.usage, std::strlen(verb.usage));
  return 2;
}

// "-" as PKG: standard input, kept in a file of its own while the verb
// reads it (the container is read with seeks).
struct SpooledInput {
  std::string path;
  ~SpooledInput() {
    if (!path.empty()) os::unlink(path.c_str());
  }
};
bool spool_standard_input(SpooledInput* spooled) {
  const char* dir = std::getenv("TMPDIR");
  std::string path =
      std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") +
      "/velnor-pack-stdin." + std::to_string(::getpid());
  unique_fd out(os::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600));
  if (!out.ok())
    return fail("cannot create " + path + ": " + errno_text()) == 0;
  spooled->path = path;
  char buffer[65536];
  for (ssize_t got; (got = os::read(0, buffer, sizeof buffer)) != 0;) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 ||
        os::write(out.get(), buffer, static_cast<size_t>(got)) != got) {
      return fail("cannot keep standard input in " + path + ": " +
                  errno_text()) == 0;
    }
  }
  return true;
}

int run_verb(const Verb& verb, const Options& options,
             const std::vector<std::string>& operands) {
  const std::string& pkg = operands[0];
  const std::string command = verb.name;
  if (command == "create") return create(pkg, options);
  if (command == "keygen") return keygen(pkg);
  if (command == "sign") {
    if (options.keys.size() + (options.key_env ? 1 : 0) != 1) {
      return verb_usage_error(verb,
                              "sign needs one --key SECRET or --key-env NAME");
    }
    if (options.key_env) return sign(pkg, {"", options.key_env});
    return sign(pkg, {options.keys[0], std::nullopt});
  }
  if (command == "extract") {
    return extract(pkg, operands[1], operands[2], options.force);
  }
  if (command == "list") return options.json ? list_json(pkg) : list(pkg);
  if (command == "version") return version(pkg);
  // verify: --key PUBLIC, repeated: the trusted keys of a keyed device;
  // --min-version A.B.C.D: its version floor.
  std::vector<PublicKey> keys;
  std::optional<FirmwareVersion> floor;
  if (options.min_version) {
    const std::string& text = *options.min_version;
    FirmwareVersion v;
    // Four numbers alone: a marker would take no part.
    if (parse_version(text.c_str(), &v) != 0 || v.plus || v.kind != 3 ||
        version_text(v) != text) {
      return verb_usage_error(verb, "bad --min-version " + text + " (A.B.C.D)");
    }
    floor = v;
  }
  for (const std::string& file : options.keys) {
    std::optional<std::vector<PublicKey>> read = public_keys_read(file.c_str());
    if (!read) return fail(file + " holds no public key");
    keys.insert(keys.end(), read->begin(), read->end());
  }
  // A floor holds only for a signed version, as on the device.
  if (floor && keys.empty()) {
    return verb_usage_error(verb, "--min-version goes with --key");
  }
  if (!keys.empty() && !signature_library_ready())
    return fail("cannot start libsodium");
  SignatureHooks hooks = signature_hooks(keys.data(), keys.size(),
                                         floor ? floor->numbers : nullptr);
  const SignatureHooks* signatures = keys.empty() ? nullptr : &hooks;
  if (options.compatible.size() > 1) {
    return verb_usage_error(verb, "verify takes one --compatible BOARD");
  }
  const char* board =
      options.compatible.empty() ? nullptr : options.compatible[0].c_str();
  return options.json ? verify_json(pkg, signatures, board)
                      : verify(pkg, signatures, board);
}

int main(int argc, char** argv) {
  // A file size limit makes writes fail with EFBIG, reported as such,
  // instead of ending the program.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  os::sigaction(SIGXFSZ, &ignore, nullptr);
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return usage_error("no command");
  if (args[0] == "--version") {
    emit_line(1, "velnor-pack " VELNOR_VERSION);
    return 0;
  }
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    (void)!os::write(1, usage_text, sizeof usage_text - 1);
    (void)!os::write(1, help_text, sizeof help_text - 1);
    return 0;
  }
  const Verb* verb = nullptr;
  for (const Verb& v : verbs) {
    if (args[0] == v.name) verb = &v;
  }
  if (verb == nullptr) return usage_error("unknown command " + args[0]);

  // Options anywhere after the verb, --opt=value or --opt value, "--" ends
  // them; each verb takes its own.
  Options options;
  int count = argc - 1;
  char** words = argv + 1;
  optind = 1;
  opterr = 0;
  int index = -1;
  for (int c; (c = getopt_long(count, words, ":h", long_options, &index)) != -1;
       index = -1) {
    // The option as given: its long name, else the word that held it.
    std::string word = index >= 0 ? std::string("--") + long_options[index].name
                                  : words[optind - 1];
    if (c == 'h') {
      (void)!os::write(1, verb->usage, std::strlen(verb->usage));
      return 0;
    }
    if (c == '?') return verb_usage_error(*verb, "unknown option " + word);
    if (c == ':') return verb_usage_error(*verb, word + " needs a value");
    if (std::strchr(verb->takes, c) == nullptr) {
      return verb_usage_error(*verb,
                              verb->name + std::string(" takes no ") + word);
    }
    std::string value = optarg != nullptr ? optarg : "";
    switch (c) {
      case 'j':
        options.json = true;
        break;
      case 'f':
        options.force = true;
        break;
      case 'k':
        options.keys.push_back(value);
        break;
      case 'm':
        options.min_version = value;
        break;
      case 'E':
        options.key_env = value;
        break;
      case 'K':
        options.kernel = value;
        break;
      case 'r':
        options.rootfs = value;
        break;
      case 'V':
        options.version = value;
        break;
      case 'c':
        if (!compatible_name_valid(value)) {
          return verb_usage_error(*verb,
                                  "bad --compatible " + value +
                                      " (1 to 64 of A-Z a-z 0-9 . _ , + -)");
        }
        options.compatible.push_back(value);
        break;
      case 'a': {
        size_t eq = value.find('=');
        std::optional<EntryKey> key = eq == std::string::npos
                                          ? std::nullopt
                                          : parse_key(value.substr(0, eq));
        if (!key || eq + 1 >= value.size()) {
          return verb_usage_error(
              *verb, "bad --add " + value + " (TYPE[:VARIANT]=FILE)");
        }
        options.extra.push_back({*key, value.substr(eq + 1)});
        break;
      }
    }
  }
  std::vector<std::string> operands(words + optind, words + count);
  if (operands.size() < verb->operands) {
    return verb_usage_error(*verb,
                            std::string(verb->name) + " needs " +
                                (verb->operands == 3 ? "PKG TYPE[:VARIANT] FILE"
                                 : args[0] == "keygen" ? "NAME"
                                                       : "PKG"));
  }
  if (operands.size() > verb->operands) {
    return verb_usage_error(*verb, "too many arguments");
  }
  if (args[0] == "create" && (!options.kernel || !options.rootfs)) {
    return verb_usage_error(*verb, "create needs --kernel and --rootfs");
  }
  // "-": the package from standard input, for the verbs that read one.
  SpooledInput spooled;
  if (operands[0] == "-" && args[0] != "create" && args[0] != "keygen" &&
      args[0] != "sign") {
    if (!spool_standard_input(&spooled)) return 1;
    operands[0] = spooled.path;
  }
  return run_verb(*verb, options, operands);
}
