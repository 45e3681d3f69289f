// Platform thread naming. The name is per thread and also set as the kernel
// thread name (first 15 characters) so that tools such as ps show it.
#pragma once

// Names the calling thread; the text is copied.
void VThreadBase_SetName(const char *name);
// The calling thread's name; valid until the thread renames itself or ends.
// Threads never named report "thread-<tid>".
const char *VThreadBase_CurName(void);
