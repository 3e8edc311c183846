// Export and import macros of the suite stand-in libraries (zel, zelfile) and of zelvem itself.
#pragma once

#if defined(_WIN32)
#define ZEL_DLL_EXPORT __declspec(dllexport)
#define ZEL_DLL_IMPORT __declspec(dllimport)
#else
#define ZEL_DLL_EXPORT __attribute__((visibility("default")))
#define ZEL_DLL_IMPORT __attribute__((visibility("default")))
#endif

// zel (base library): ZEL_BUILDING is defined only while zel itself is compiled.
#if defined(ZEL_BUILDING)
#define ZEL_API ZEL_DLL_EXPORT
#else
#define ZEL_API ZEL_DLL_IMPORT
#endif

// zelfile (imager-file library).
#if defined(ZELFILE_BUILDING)
#define ZELFILE_API ZEL_DLL_EXPORT
#else
#define ZELFILE_API ZEL_DLL_IMPORT
#endif

// zelvem (this product).
#if defined(ZELVEM_BUILDING)
#define ZELVEM_API ZEL_DLL_EXPORT
#else
#define ZELVEM_API ZEL_DLL_IMPORT
#endif
