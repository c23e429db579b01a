// Symbol export control for libimgnorm.  The library is built with hidden
// visibility; everything a client may call or catch carries IMGNORM_API.
#pragma once

#if defined(_WIN32)
#if defined(IMGNORM_BUILDING)
#define IMGNORM_API __declspec(dllexport)
#else
#define IMGNORM_API __declspec(dllimport)
#endif
#else
#define IMGNORM_API __attribute__((visibility("default")))
#endif
