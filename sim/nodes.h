// Device nodes on the simulated device. The host may not let us make real
// nodes, so a node is a small regular file that records its type and number;
// the seam's stat calls report it as the node it stands for.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>

namespace sim {

struct NodeId {
  mode_t type;  // S_IFCHR or S_IFBLK
  unsigned major;
  unsigned minor;
};

// Creates the node file at host_path (umask applied to mode's permissions).
int make_node(const std::string& host_path, mode_t mode, dev_t dev);

// The node a host file stands for, if it is one.
std::optional<NodeId> read_node(const std::string& host_path);
std::optional<NodeId> read_node_fd(int fd);

// Whether a host file of this stat can be a node file at all: a program's
// stat then needs no second look at it.
bool may_be_node(const struct stat& st);

// Rewrites host stat results of a node file as the node's.
void present_node(struct stat* st, const NodeId& id);

}  // namespace sim
