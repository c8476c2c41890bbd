#include "sim/model_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <map>

namespace sim {
namespace {

// Never destroyed: descriptors still open at exit are closed by the host,
// and the models must not run after the device state is gone.
std::map<int, ModelFile>& model_files = *new std::map<int, ModelFile>;

}  // namespace

int model_hold(std::unique_ptr<OpenDevice> device, std::optional<NodeId> node) {
  int fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (fd < 0) return -1;
  model_files[fd] = ModelFile{std::move(device), node};
  return fd;
}

OpenDevice* model(int fd) {
  const ModelFile* f = model_file(fd);
  return f != nullptr ? f->device.get() : nullptr;
}

const ModelFile* model_file(int fd) {
  auto it = model_files.find(fd);
  return it == model_files.end() ? nullptr : &it->second;
}

bool model_forget(int fd) { return model_files.erase(fd) != 0; }

void model_dup(int oldfd, int newfd) {
  auto it = model_files.find(oldfd);
  if (it != model_files.end()) {
    model_files[newfd] = it->second;
  } else {
    model_files.erase(newfd);
  }
}

}  // namespace sim
