// The kernel seam on Linux: each call forwards to the kernel and adds nothing.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "common/os.h"

namespace os {

int open(const char* path, int flags, mode_t mode) {
  return ::open(path, flags, mode);
}
ssize_t read(int fd, void* buf, size_t count) { return ::read(fd, buf, count); }
ssize_t write(int fd, const void* buf, size_t count) {
  return ::write(fd, buf, count);
}
int close(int fd) { return ::close(fd); }
off_t lseek(int fd, off_t offset, int whence) {
  return ::lseek(fd, offset, whence);
}
int stat(const char* path, struct stat* st) { return ::stat(path, st); }
int lstat(const char* path, struct stat* st) { return ::lstat(path, st); }
int fstat(int fd, struct stat* st) { return ::fstat(fd, st); }
int access(const char* path, int mode) { return ::access(path, mode); }
int mknod(const char* path, mode_t mode, dev_t dev) {
  return ::mknod(path, mode, dev);
}
int mount(const char* source, const char* target, const char* fstype,
          unsigned long flags, const void* data) {
  return ::mount(source, target, fstype, flags, data);
}
int umount2(const char* target, int flags) { return ::umount2(target, flags); }
int ioctl(int fd, unsigned long request, void* arg) {
  return ::ioctl(fd, request, arg);
}
void* mmap(void* addr, size_t length, int prot, int flags, int fd,
           off_t offset) {
  return ::mmap(addr, length, prot, flags, fd, offset);
}
int munmap(void* addr, size_t length) { return ::munmap(addr, length); }

pid_t fork() { return ::fork(); }
int execve(const char* path, char* const argv[], char* const envp[]) {
  return ::execve(path, argv, envp);
}
pid_t wait4(pid_t pid, int* status, int options, struct rusage* usage) {
  return ::wait4(pid, status, options, usage);
}
void exit(int status) { ::_exit(status); }
pid_t getpid() { return ::getpid(); }
int pipe(int fds[2]) { return ::pipe(fds); }
int dup2(int oldfd, int newfd) { return ::dup2(oldfd, newfd); }
int kill(pid_t pid, int sig) { return ::kill(pid, sig); }
int sigaction(int sig, const struct sigaction* act, struct sigaction* old) {
  return ::sigaction(sig, act, old);
}
int sigprocmask(int how, const sigset_t* set, sigset_t* old) {
  return ::sigprocmask(how, set, old);
}

int select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds,
           struct timeval* timeout) {
  return ::select(nfds, readfds, writefds, exceptfds, timeout);
}
int poll(struct pollfd* fds, nfds_t nfds, int timeout_ms) {
  return ::poll(fds, nfds, timeout_ms);
}
int clock_gettime(clockid_t clock, struct timespec* ts) {
  return ::clock_gettime(clock, ts);
}
int nanosleep(const struct timespec* request, struct timespec* remain) {
  return ::nanosleep(request, remain);
}

int socket(int domain, int type, int protocol) {
  return ::socket(domain, type, protocol);
}
int bind(int fd, const struct sockaddr* addr, socklen_t length) {
  return ::bind(fd, addr, length);
}
ssize_t recv(int fd, void* buf, size_t count, int flags) {
  return ::recv(fd, buf, count, flags);
}

DIR* opendir(const char* path) { return ::opendir(path); }
struct dirent* readdir(DIR* dir) {
  return ::readdir(dir);
}
int closedir(DIR* dir) { return ::closedir(dir); }

ssize_t readlink(const char* path, char* buf, size_t size) {
  return ::readlink(path, buf, size);
}
int symlink(const char* target, const char* linkpath) {
  return ::symlink(target, linkpath);
}
int unlink(const char* path) { return ::unlink(path); }
int rmdir(const char* path) { return ::rmdir(path); }
int mkdir(const char* path, mode_t mode) { return ::mkdir(path, mode); }
int rename(const char* from, const char* to) { return std::rename(from, to); }
void sync() { ::sync(); }
int reboot(int cmd) { return ::reboot(cmd); }
int isatty(int fd) { return ::isatty(fd); }

}  // namespace os
