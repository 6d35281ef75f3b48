/*
 * WinTypes.h - the Win32-style base types the D2XX interface is documented
 * in, defined for Linux. ftd2xx.h includes this header; programs may include
 * it by this name as well. It declares no functions.
 *
 * Sizes are fixed whatever the target: DWORD and ULONG are 32 bits (never
 * unsigned long, which is 64 bits on 64-bit Linux), WORD and USHORT 16, BYTE
 * and UCHAR 8, LONG a signed 32 bits, BOOL an int. The definitions do not
 * change when a program is built with _WIN32 defined. Each name is the
 * fixed-width type ftd2xx.h declares the functions with: DWORD is uint32_t,
 * LPDWORD uint32_t *, UCHAR uint8_t, BOOL int, HANDLE and LPVOID void *, and
 * so on.
 *
 * A program that already has some of these names (its own Windows-style
 * header, or a framework's) keeps its own definitions:
 *   - a name the program defined as a macro is left alone, whether the macro
 *     is function-like (an interpreter's UCHAR(c) cast) or names a type: the
 *     functions are declared over the fixed-width types and never use the
 *     name, so either kind compiles;
 *   - each type is defined together with a guard macro in the Windows
 *     headers' style, _<NAME>_DEFINED (_DWORD_DEFINED, _HANDLE_DEFINED...),
 *     and is skipped when that macro exists already;
 *   - a name the program declared with a typedef of the same type compiles
 *     as it is in C11 and C++; C99 compilers warn about the repeated typedef
 *     (GCC with -pedantic, clang always) unless the program also defines the
 *     guard macro.
 * A definition taken from the program must name the same type as the
 * fixed-width one above (DWORD unsigned int, not unsigned long, also on
 * 32-bit targets), or pointer arguments no longer match the declarations.
 * This header stops the build when a typedef of DWORD, ULONG, WORD, USHORT,
 * BYTE, UCHAR or LONG has another size; a name defined as a macro is not
 * checked, since the preprocessor cannot tell a cast macro from a type.
 */
#ifndef FTD2XX_WINTYPES_H
#define FTD2XX_WINTYPES_H

#include <stdint.h>

/* --- 8 bits ------------------------------------------------------------ */

#if !defined(BYTE) && !defined(_BYTE_DEFINED)
#define _BYTE_DEFINED
typedef uint8_t BYTE;
#endif
#if !defined(LPBYTE) && !defined(_LPBYTE_DEFINED)
#define _LPBYTE_DEFINED
typedef uint8_t *LPBYTE;
#endif
#if !defined(UCHAR) && !defined(_UCHAR_DEFINED)
#define _UCHAR_DEFINED
typedef uint8_t UCHAR;
#endif
#if !defined(PUCHAR) && !defined(_PUCHAR_DEFINED)
#define _PUCHAR_DEFINED
typedef uint8_t *PUCHAR;
#endif
#if !defined(CHAR) && !defined(_CHAR_DEFINED)
#define _CHAR_DEFINED
typedef char CHAR;
#endif
#if !defined(PCHAR) && !defined(_PCHAR_DEFINED)
#define _PCHAR_DEFINED
typedef char *PCHAR;
#endif
#if !defined(LPSTR) && !defined(_LPSTR_DEFINED)
#define _LPSTR_DEFINED
typedef char *LPSTR;
#endif
#if !defined(LPCSTR) && !defined(_LPCSTR_DEFINED)
#define _LPCSTR_DEFINED
typedef const char *LPCSTR;
#endif
/* Text is 8-bit here: there is no wide-character build. */
#if !defined(LPCTSTR) && !defined(_LPCTSTR_DEFINED)
#define _LPCTSTR_DEFINED
typedef const char *LPCTSTR;
#endif

/* --- 16 bits ----------------------------------------------------------- */

#if !defined(WORD) && !defined(_WORD_DEFINED)
#define _WORD_DEFINED
typedef uint16_t WORD;
#endif
#if !defined(LPWORD) && !defined(_LPWORD_DEFINED)
#define _LPWORD_DEFINED
typedef uint16_t *LPWORD;
#endif
#if !defined(USHORT) && !defined(_USHORT_DEFINED)
#define _USHORT_DEFINED
typedef uint16_t USHORT;
#endif
#if !defined(PUSHORT) && !defined(_PUSHORT_DEFINED)
#define _PUSHORT_DEFINED
typedef uint16_t *PUSHORT;
#endif

/* --- 32 bits ----------------------------------------------------------- */

#if !defined(DWORD) && !defined(_DWORD_DEFINED)
#define _DWORD_DEFINED
typedef uint32_t DWORD;
#endif
#if !defined(LPDWORD) && !defined(_LPDWORD_DEFINED)
#define _LPDWORD_DEFINED
typedef uint32_t *LPDWORD;
#endif
#if !defined(ULONG) && !defined(_ULONG_DEFINED)
#define _ULONG_DEFINED
typedef uint32_t ULONG;
#endif
#if !defined(PULONG) && !defined(_PULONG_DEFINED)
#define _PULONG_DEFINED
typedef uint32_t *PULONG;
#endif
#if !defined(LONG) && !defined(_LONG_DEFINED)
#define _LONG_DEFINED
typedef int32_t LONG;
#endif
#if !defined(LPLONG) && !defined(_LPLONG_DEFINED)
#define _LPLONG_DEFINED
typedef int32_t *LPLONG;
#endif

/* --- truth values ------------------------------------------------------ */

#if !defined(BOOL) && !defined(_BOOL_DEFINED)
#define _BOOL_DEFINED
typedef int BOOL;
#endif
#ifndef FALSE
#define FALSE 0
#endif
#ifndef TRUE
#define TRUE 1
#endif

/* --- pointers and handles ---------------------------------------------- */

#if !defined(PVOID) && !defined(_PVOID_DEFINED)
#define _PVOID_DEFINED
typedef void *PVOID;
#endif
#if !defined(LPVOID) && !defined(_LPVOID_DEFINED)
#define _LPVOID_DEFINED
typedef void *LPVOID;
#endif
#if !defined(LPCVOID) && !defined(_LPCVOID_DEFINED)
#define _LPCVOID_DEFINED
typedef const void *LPCVOID;
#endif
#if !defined(HANDLE) && !defined(_HANDLE_DEFINED)
#define _HANDLE_DEFINED
typedef void *HANDLE;
#endif
#ifndef INVALID_HANDLE_VALUE
#define INVALID_HANDLE_VALUE ((void *)(intptr_t)-1)
#endif

/* The overlapped and security records of the Win32 file calls, over the
 * fixed-width types like everything the header defines from here on. The
 * library never reads them (overlapped I/O is not supported): they exist so
 * that programs declaring them compile. */
#if !defined(OVERLAPPED) && !defined(_OVERLAPPED_DEFINED)
#define _OVERLAPPED_DEFINED
typedef struct _OVERLAPPED {
    uintptr_t Internal;
    uintptr_t InternalHigh;
    uint32_t Offset;
    uint32_t OffsetHigh;
    void *hEvent;
} OVERLAPPED, *LPOVERLAPPED;
#endif
#if !defined(SECURITY_ATTRIBUTES) && !defined(_SECURITY_ATTRIBUTES_DEFINED)
#define _SECURITY_ATTRIBUTES_DEFINED
typedef struct _SECURITY_ATTRIBUTES {
    uint32_t nLength;
    void *lpSecurityDescriptor;
    int bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;
#endif

/* --- sizes ------------------------------------------------------------- */

/* Also where the program supplied the type: a 64-bit DWORD would make the
 * library write half of every DWORD result and misplace every record field. */
#if defined(__cplusplus) && __cplusplus >= 201103L
#define FTD2XX_SIZE_CHECK_(name, size) \
    static_assert(sizeof(name) == (size), #name " must be " #size " bytes for the D2XX interface")
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define FTD2XX_SIZE_CHECK_(name, size)                                  \
    _Static_assert(sizeof(name) == (size), #name " must be " #size      \
                                                 " bytes for the D2XX " \
                                                 "interface")
#else
/* No static assertion before C11 and C++11: an array of negative size. */
#define FTD2XX_SIZE_CHECK_(name, size) \
    typedef char ftd2xx_##name##_must_be_##size##_bytes[sizeof(name) == (size) ? 1 : -1]
#endif
/* Only typedefs are checked: a macro of the same name may be a cast. */
#ifndef BYTE
FTD2XX_SIZE_CHECK_(BYTE, 1);
#endif
#ifndef UCHAR
FTD2XX_SIZE_CHECK_(UCHAR, 1);
#endif
#ifndef WORD
FTD2XX_SIZE_CHECK_(WORD, 2);
#endif
#ifndef USHORT
FTD2XX_SIZE_CHECK_(USHORT, 2);
#endif
#ifndef DWORD
FTD2XX_SIZE_CHECK_(DWORD, 4);
#endif
#ifndef ULONG
FTD2XX_SIZE_CHECK_(ULONG, 4);
#endif
#ifndef LONG
FTD2XX_SIZE_CHECK_(LONG, 4);
#endif
#undef FTD2XX_SIZE_CHECK_

#endif /* FTD2XX_WINTYPES_H */
