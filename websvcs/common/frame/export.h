// The module is built with hidden visibility; only what is marked here is
// part of its outward surface.
#ifndef WCOMMON_FRAME_EXPORT_H
#define WCOMMON_FRAME_EXPORT_H

#define WCOMMON_EXPORT __attribute__((visibility("default")))

#endif
