#pragma once

// Marks what a host may use across the library boundary; everything else stays hidden.
#if defined(_WIN32)
#if defined(TARN_CLIENT_BUILDING)
#define TARN_API __declspec(dllexport)
#else
#define TARN_API __declspec(dllimport)
#endif
#else
#define TARN_API __attribute__((visibility("default")))
#endif
