// The read-only image with templates, translations and the USB name list,
// "/flash/wev.cramfs", shown on "/romfs". The image is a file system image
// (squashfs, or cramfs where the kernel has it) mounted read-only through a
// loop device, or a plain directory standing in for it, which "/romfs" then
// links to. A new image left by the firmware update in "/tmp/tmp.cramfs" is
// installed before mounting.
#pragma once

// Installs a pending image, then mounts the image on "/romfs". 1 when the
// image is shown there; 0 otherwise (a loop device taken is given back).
int mountRomfs();

// Releases the image ("/romfs" unmounted, loop device given back), then
// installs a pending image. Start-up calls it before a second mountRomfs
// when the first failed; the end of the run calls it to let the image go.
void switchRomfs();

// Binds file (from offset) read-only to loopDevice; 1 on success (the
// device is released again when its status cannot be set).
int attachLoop(const char* loopDevice, const char* file, int offset);

// Releases loopDevice; 1 on success.
int detachLoop(const char* loopDevice);
