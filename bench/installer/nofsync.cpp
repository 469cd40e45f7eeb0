// Preloaded into aria2c (LD_PRELOAD) so that the peer does the same work as
// the installer: aria2c flushes every finished file to the disk with fsync,
// which the installer does not do, and on a shared disk those 2,000 flushes
// alone can take longer than the whole download. Both calls still check that
// the descriptor is valid, and report success without flushing.
#include <fcntl.h>

extern "C" {
int fsync(int fd) { return fcntl(fd, F_GETFD) == -1 ? -1 : 0; }
int fdatasync(int fd) { return fcntl(fd, F_GETFD) == -1 ? -1 : 0; }
}
