#pragma once
// Marks the one function a calculator exports to its host: C linkage, the
// undecorated name, default visibility. Everything else stays hidden.
#if defined(_WIN32)
#define MERIDOX_ENTRY extern "C" __declspec(dllexport)
#else
#define MERIDOX_ENTRY extern "C" __attribute__((visibility("default")))
#endif
