// The mount seam: mounting and unmounting the box's removable media (the SD
// card, USB storage). Two back-ends sit side by side: the kernel's mount(2)
// and umount2(2), and a simulated one for machines whose kernel has no vfat
// and for boxes that run under a root directory. The choice is made once, on
// first use; nothing above this header knows which back-end answers.
//
// Paths are box paths ("/dev/mmcblk0p1", "/var/slot1"); each back-end puts
// the root prefix in front itself.
//
// The simulated back-end, for tests and the demo (every path under the root):
// - the block device "/dev/X" is a regular file, a FAT image (the label
//   writer works on it); what the mounted file system holds is the directory
//   "/dev/X.files" beside it, made on the first mount;
// - a mount succeeds when the image begins with a boot sector that carries
//   the 0x55AA signature (else EINVAL, as for a card that is no FAT volume),
//   and a read-write mount fails with EROFS while "/dev/X.readonly" exists
//   (a write-protected card);
// - mounting turns the empty mount point into a link to the files
//   directory; unmounting turns it back into an empty directory. While
//   "/dev/mounts.sim/busy" exists an unmount without MNT_DETACH fails with
//   EBUSY, as the kernel's vfat can; while "/dev/mounts.sim/stuck" exists
//   every unmount does.
#pragma once

struct MountOps {
    // mount(2) semantics: 0, or -1 with errno set.
    int (*mount)(const char* source, const char* target, const char* fsType, unsigned long flags,
                 const char* options);
    // umount2(2) semantics: 0, or -1 with errno set.
    int (*unmount)(const char* target, int flags);
};

extern const MountOps realMountOps;
extern const MountOps simMountOps;

// The back-end of this run: the kernel's on the box itself (no root prefix),
// the simulated one under a root directory.
const MountOps& mountOps();
