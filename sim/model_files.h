// Descriptors whose file is a device model (sim/open_device.h) rather than
// a host file. Each number is held by an open /dev/null of the host, so it
// cannot be handed out twice.
#pragma once

#include <memory>
#include <optional>

#include "sim/nodes.h"
#include "sim/open_device.h"

namespace sim {

struct ModelFile {
  std::shared_ptr<OpenDevice> device;
  std::optional<NodeId> node;  // unset: a socket
};

// A new descriptor for the model: its number, or -1.
int model_hold(std::unique_ptr<OpenDevice> device, std::optional<NodeId> node);
// The model behind fd, or null for a host file.
OpenDevice* model(int fd);
const ModelFile* model_file(int fd);
// Forgets fd (the caller closes it): true when it was a model's.
bool model_forget(int fd);
// newfd now stands for what oldfd stands for.
void model_dup(int oldfd, int newfd);

}  // namespace sim
