#pragma once
// Ends the run for a mode whose routines are not built yet.
[[noreturn]] void mode_unavailable(const char *mode);
