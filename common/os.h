// The kernel seam: every system call the programs make goes through here.
//
// Two implementations exist and exactly one is linked into a program:
// common/os_linux.cpp forwards each call 1:1 to the kernel (the device), and
// sim/ runs the same calls against a simulated device held in a directory on
// a workstation. Nothing above this file includes a system header for a call
// wrapped here; the headers below are for the types only.
#pragma once

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <cstddef>

struct rusage;

namespace os {

int open(const char* path, int flags, mode_t mode = 0);
ssize_t read(int fd, void* buf, size_t count);
ssize_t write(int fd, const void* buf, size_t count);
int close(int fd);
off_t lseek(int fd, off_t offset, int whence);
int stat(const char* path, struct stat* st);
int lstat(const char* path, struct stat* st);
int fstat(int fd, struct stat* st);
int access(const char* path, int mode);
int mknod(const char* path, mode_t mode, dev_t dev);
int mount(const char* source, const char* target, const char* fstype,
          unsigned long flags, const void* data);
int umount2(const char* target, int flags);
int ioctl(int fd, unsigned long request, void* arg);
void* mmap(void* addr, size_t length, int prot, int flags, int fd,
           off_t offset);
int munmap(void* addr, size_t length);

pid_t fork();
int execve(const char* path, char* const argv[], char* const envp[]);
pid_t wait4(pid_t pid, int* status, int options, struct rusage* usage);
[[noreturn]] void exit(int status);  // _exit: no atexit handlers, no flush
pid_t getpid();
int pipe(int fds[2]);
int dup2(int oldfd, int newfd);
int kill(pid_t pid, int sig);
int sigaction(int sig, const struct sigaction* act, struct sigaction* old);
int sigprocmask(int how, const sigset_t* set, sigset_t* old);

int select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds,
           struct timeval* timeout);
int poll(struct pollfd* fds, nfds_t nfds, int timeout_ms);
int clock_gettime(clockid_t clock, struct timespec* ts);
int nanosleep(const struct timespec* request, struct timespec* remain);

int socket(int domain, int type, int protocol);
int bind(int fd, const struct sockaddr* addr, socklen_t length);
ssize_t recv(int fd, void* buf, size_t count, int flags);

DIR* opendir(const char* path);
struct dirent* readdir(DIR* dir);
int closedir(DIR* dir);

ssize_t readlink(const char* path, char* buf, size_t size);
int symlink(const char* target, const char* linkpath);
int unlink(const char* path);
int rmdir(const char* path);
int mkdir(const char* path, mode_t mode);
int rename(const char* from, const char* to);
void sync();
int reboot(int cmd);
int isatty(int fd);

}  // namespace os
