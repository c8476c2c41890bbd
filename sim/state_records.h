// The simulated device's state files as named fields: each record's fields
// are listed once, here, and the one reader and the one writer of every
// file (flash_model.cpp, board.cpp) go through them. A field missing from a
// file reads as the record's default.
#pragma once

#include <nlohmann/json.hpp>

#include "sim/board.h"
#include "sim/flash_model.h"

namespace sim {

NLOHMANN_JSON_SERIALIZE_ENUM(Content, {{Content::erased, "erased"},
                                       {Content::foreign, "foreign"},
                                       {Content::ubi, "ubi"}})
NLOHMANN_JSON_SERIALIZE_ENUM(OpenKind, {{OpenKind::reader, "reader"},
                                        {OpenKind::writer, "writer"},
                                        {OpenKind::gluebi, "gluebi"},
                                        {OpenKind::block, "block"}})

// DIR/state/flash: what survives a restart.
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(NandGeometry, size, erasesize,
                                                pagesize, subpage, oobsize)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(SimVolume, id, name, dynamic,
                                                reserved_lebs, data_bytes,
                                                upd_marker, corrupted, rotten,
                                                ecc_failed_pages)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(SimPartition, name, offset,
                                                size, content, erased_blocks,
                                                vid_hdr_offset, volumes)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(
    Flash, geometry, badblock_ioctl, badblock_errno, bad_blocks, partitions,
    corrupt_writes, fail_writes, stall_writes, write_delay_ms, read_delay_ms,
    gluebi, mtdblock_volumes, ubiblock)

// DIR/state/flash-runtime: what the running kernel holds.
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(AttachedUbi, ubi_num, partition,
                                                leb_size, read_only,
                                                checked_volumes)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(GluebiMtd, ubi_num, vol_id,
                                                mtd_index, block_bytes, name)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(UbiBlockDev, ubi_num, vol_id,
                                                minor)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(VolumeOpener, pid, ubi_num,
                                                vol_id, kind)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(FlashRuntime, attached, gluebi,
                                                ubiblocks, openers)

// DIR/state/medium-mmc and medium-usb: a card or stick in its slot.
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(MediumState, present, fstype,
                                                late_ms, capacity,
                                                read_error_at, removed_after,
                                                reread_differs_at)

// A record from a state file's text; the record's defaults when the text
// is missing or not a record of this kind.
template <typename T>
T state_record(const std::string& text) {
  nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
  if (j.is_discarded() || !j.is_object()) return T{};
  try {
    return j.get<T>();
  } catch (const nlohmann::json::exception&) {
    return T{};
  }
}

template <typename T>
std::string state_text(const T& record) {
  return nlohmann::json(record).dump() + "\n";
}

}  // namespace sim
