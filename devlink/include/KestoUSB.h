/*
 * KestoUSB.h - the C interface of the device link library.
 *
 * The library is the only code that talks to the player. It finds the player (over USB through
 * libusb, or over the network through a USB/IP server), frames commands and replies on its two
 * bulk pipes, caches the player's status and both file tables, and runs long transfers on a
 * worker thread that reports to a notification target of the caller.
 *
 * Conventions shared by every function below:
 *  - Results: 1 means success, 0 failure, unless a function says otherwise. After a 0 the reason
 *    is read with KSUSB_GetLastError(). A success never clears the last error.
 *  - Memory ids: KSUSB_MEM_FLASH ('M', internal flash) and KSUSB_MEM_CARD ('S', memory card).
 *  - Strings are caller-owned, zero-terminated UTF-8. Names on the player hold at most 80 bytes;
 *    paths at most 255 bytes.
 *  - Threads: every function except KSUSB_Stop and the notification callbacks is called from one
 *    thread (the caller's UI thread). While a transfer worker runs, the caller issues no other
 *    call but KSUSB_Stop until the worker has posted notification 3 or 4.
 *  - Calls that talk to the player block the calling thread: a handshake poll waits at most 10 s,
 *    a vendor request 1 s, a pipe transfer 30 s.
 *
 * Environment:
 *  - KESTOUSB_USBIP="host[:port][,host[:port]...]" names USB/IP servers (default port 3240) that
 *    are searched for a player before the local USB bus.
 *  - KESTOUSB_USB_IDS="vvvv:pppp,..." adds USB vendor:product ids to the built-in 1209:0001.
 */
#ifndef KESTOUSB_H
#define KESTOUSB_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define KSUSB_API __declspec(dllexport)
#else
#define KSUSB_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Memory ids. */
#define KSUSB_MEM_FLASH ((unsigned char)'M')
#define KSUSB_MEM_CARD ((unsigned char)'S')

/* Status flags: byte 4 of the 'I' reply and of every result reply. */
#define KSUSB_FLAG_NOT_CONNECTED 0x80u
#define KSUSB_FLAG_BUSY 0x40u
#define KSUSB_FLAG_CARD_CHANGED 0x20u
#define KSUSB_FLAG_CARD_PROTECTED 0x10u
#define KSUSB_FLAG_FLASH_FULL 0x08u
#define KSUSB_FLAG_CARD_FULL 0x04u
#define KSUSB_FLAG_NO_CARD 0x02u

/* Last-error codes (KSUSB_GetLastError). */
enum KSUSB_Error {
    KSUSB_OK = 0,
    KSUSB_ERR_SEND = -2,            /* writing a command failed */
    KSUSB_ERR_RECEIVE = -3,         /* reading the first reply failed */
    KSUSB_ERR_RESULT_REQUEST = -4,  /* sending the result request failed */
    KSUSB_ERR_RESULT_REPLY = -5,    /* reading the result reply (or table data) failed */
    KSUSB_ERR_NO_CLOSING_MARK = -6, /* a reply lacks its closing '.' */
    KSUSB_ERR_EXISTS = -10,         /* a file of that name already exists */
    KSUSB_ERR_NOT_FOUND = -11,      /* file not found (player or PC) */
    KSUSB_ERR_NO_NAME_ROOM = -12,   /* rename: no room for the new name */
    KSUSB_ERR_THREAD = -21,         /* starting the worker thread failed */
    KSUSB_ERR_STOP_EVENT = -22,     /* no stop event (no transfer started yet) */
    KSUSB_ERR_MEMORY_FULL = -31,    /* download refused: memory full */
    KSUSB_ERR_NAME_AREA_FULL = -34, /* download refused: file-name area full */
    KSUSB_ERR_NOT_CONNECTED = -40,  /* player not found, or opening it failed */
    KSUSB_ERR_CLOSE = -41,          /* closing the connection failed */
    KSUSB_ERR_OPEN_FILE = -42,      /* the worker could not open the PC file */
    KSUSB_ERR_STOPPED = -43,        /* the transfer was stopped */
    KSUSB_ERR_INCOMPLETE = -44,     /* a block was not moved completely */
    KSUSB_ERR_PROBE = -45,          /* the link probe failed */
    KSUSB_ERR_REFUSED = -55,        /* the player refused a download or image */
    KSUSB_ERR_PLAYER_NOT_READY = -58, /* flags report 0x80 */
    KSUSB_ERR_CARD_CHANGED = -59,   /* flags report 0x20 (the exchange goes on) */
    KSUSB_ERR_WRITE_PROTECTED = -61 /* the card is write-protected */
};

/* Transfer notifications: message WM_XFER_NOTIFY, wParam one of these. */
#define WM_XFER_NOTIFY 0x8005u
#define KSUSB_XFER_START 1u    /* lParam: total size in bytes */
#define KSUSB_XFER_PROGRESS 2u /* lParam: bytes moved so far (the total for the last block) */
#define KSUSB_XFER_DONE 3u     /* lParam: total size */
#define KSUSB_XFER_FAILED 4u   /* lParam: the last-error code */

/* The caller's "window": where a transfer worker posts its notifications. */
typedef struct KSNotifyTarget KSNotifyTarget;
struct KSNotifyTarget {
    /* Called on the library's worker thread; must only queue the message and return. */
    void (*post)(KSNotifyTarget *self, unsigned int message, uintptr_t wParam, intptr_t lParam);
};

/* The player's identity and status record (804 bytes). Text fields hold raw bytes from the
 * player followed by a zero. */
typedef struct KSPlayerStatus {
    unsigned char reply6;  /* 0 */
    unsigned char reply7;  /* 1 */
    unsigned char reply9;  /* 2 */
    uint32_t reply8;       /* 4 */
    uint32_t reply10;      /* 8 */
    char text11[256];      /* 12: 12 characters */
    char text23[55];       /* 268: 54 characters */
    char version[80];      /* 323: 11 characters */
    char model[80];        /* 403: 13 characters */
    char date[80];         /* 483: 8 characters */
    char text109[80];      /* 563: 20 characters */
    char spare[80];        /* 643: never written by the library */
    char text129[80];      /* 723: 11 characters */
} KSPlayerStatus;

/* One file of a memory (292 bytes). */
typedef struct KSUSB_TFileEntry {
    char name[256];              /* 0: long name, UTF-8; equals name83 without a long name */
    char name83[14];             /* 256: "BASE.EXT" without padding, always with the '.' */
    unsigned char attr;          /* 270: FAT attribute byte */
    unsigned char rawTimes[10];  /* 271: directory record bytes 12-21 */
    uint16_t time;               /* 282: last-write time, DOS format */
    uint16_t date;               /* 284: last-write date, DOS format */
    uint16_t cluster;            /* 286: first cluster, bytes 26/27 taken big-endian */
    uint32_t size;               /* 288: file size in bytes */
} KSUSB_TFileEntry;

#define KSUSB_MAX_ENTRIES 256

/* A memory's capacity and files (74,764 bytes). */
typedef struct KSUSB_TOpenTable {
    uint32_t total;       /* 0: capacity in bytes */
    uint32_t free;        /* 4: free bytes */
    unsigned char count;  /* 8: valid entries, in play order */
    KSUSB_TFileEntry entries[KSUSB_MAX_ENTRIES]; /* 12 */
} KSUSB_TOpenTable;

/* ---- Connection and status ---------------------------------------------------------------- */

/* Probes the link; if the probe fails, closes and reopens the connection.
 * Result: 1 connected; 0 with -40 (no player) or -41. Blocks for at most a few seconds. */
KSUSB_API int KSUSB_CheckConnect(void);

/* Closes and reopens the connection. Result 1 if the open succeeded, else 0 (-40, -41). */
KSUSB_API int KSUSB_Reconnect(void);

/* KSUSB_CheckConnect, then for the card asks the flags ('I'): 0 when no card is present (flag
 * 0x02), without a code of its own. Result 1 when the memory can be used. */
KSUSB_API int KSUSB_CheckMemory(unsigned char mem);

/* Reads the status flags ('I'). Result: the flags byte; 0 when the exchange failed (-40, -2,
 * -5). Sets -58 when flag 0x80 is reported, -59 for 0x20 (the flags are still returned) and -6
 * when the reply lacks its closing mark. */
KSUSB_API unsigned char InvokePlayer(void);

/* Reads version, date and model ('Y') into the status cache. Errors -2, -5, -6. */
KSUSB_API int GetPlayerVersion(void);

/* Reads the 192-byte full status (0x90 'S') into the status cache. Errors -2, -3. */
KSUSB_API int KSUSB_GetPlayerStatus(void);

/* Copies the status cache into *out; does not talk to the player. Always 1. The `spare` field of
 * *out is left as it was. */
KSUSB_API int GetPlayerInfo(KSPlayerStatus *out);

/* Copies the device path of the connection ("usb:BUS-PORT..." or "usbip://host:port/BUSID") into
 * out, which holds at least 256 bytes. Always 1. */
KSUSB_API int GetDevicePID(char *out);

/* The code of the last failure (an enum KSUSB_Error value). Any thread. */
KSUSB_API int KSUSB_GetLastError(void);

/* Stops the running transfer: signals the worker, waits 1000 ms, reconnects and waits until the
 * player reports ready. Result: 1 if the player answered ready within 10 s; 0 with -22 when no
 * transfer has been started since the library was loaded. Blocks about 1 to 11 s. */
KSUSB_API int KSUSB_Stop(void);

/* 1 if a player can be found right now (USB/IP servers of KESTOUSB_USBIP and the USB bus),
 * else 0. Only enumerates: it neither opens a player nor touches the open connection, and sets no
 * error code. For a device-change watch that polls it from a timer; blocks for at most about a
 * second per unreachable USB/IP server. Any thread: it shares nothing with the open connection. */
KSUSB_API int KSUSB_PlayerPresent(void);

/* 1 if the last failed attempt to open the player (the -40 of KSUSB_CheckConnect and every call
 * built on it) found the player attached but held by another program: the USB/IP server refused
 * to import a device it lists, or the USB interface is claimed by another process. 0 otherwise,
 * and 0 again once an open succeeds. Sets no error code and does not talk to the player; a
 * caller reads it after a -40 to tell "in use" from "not connected". Any thread. */
KSUSB_API int KSUSB_PlayerInUse(void);
/* Waits up to timeoutMs milliseconds for a player to be attached to or detached from the local
 * USB bus, as libusb's hot-plug notice reports it. Result: 1 when one was (call
 * KSUSB_PlayerPresent for the state now), 0 when the time passed without one, -1 at once when
 * hot-plug notice is not available here (the caller then polls KSUSB_PlayerPresent on its own
 * schedule). USB/IP servers give no notice: they are only seen by KSUSB_PlayerPresent. Touches
 * neither the open connection nor the error code, so a device watch may call it, and
 * KSUSB_PlayerPresent, on a thread of its own while the caller's thread talks to the player.
 * One watcher thread at a time. */
KSUSB_API int KSUSB_WaitDeviceChange(int timeoutMs);

/* A short English name of an error code, for logs and tools ("KSUSB_ERR_NOT_CONNECTED");
 * "KSUSB_ERR_UNKNOWN" for a code the library does not know. Never NULL; static storage. */
KSUSB_API const char *KSUSB_ErrorName(int code);

/* ---- File tables (cached per memory) ------------------------------------------------------ */

/* Reads the file table of a memory ('G') into the library's cache ('M' into the flash table,
 * any other id into the card's). Errors: those of KSUSB_CheckConnect/KSUSB_CheckMemory, -2, -3,
 * -4, -5 (also: the player announced a table of more than 49,151 or fewer than 8 bytes, which is
 * refused before the data is requested, or records that do not fit the announced length), -6.
 * A table of 256 or more files fails without a code of its own and reads empty (count 0). A
 * refresh that fails part way keeps the entries decoded so far. Long names arrive in UTF-16 and
 * are kept as UTF-8, cut at a character boundary to 255 bytes. Blocks for two exchanges. */
KSUSB_API int KSUSB_RefreshMemory(unsigned char mem);

/* GetPlayerVersion, KSUSB_GetPlayerStatus, then KSUSB_RefreshMemory; stops at the first failure. */
KSUSB_API int RefreshMemory(unsigned char mem);

/* Copies the cached table of a memory into *out (entries beyond count are left untouched).
 * Does not talk to the player. 1; 0 (no code) only when out is NULL. */
KSUSB_API int GetFileInfo(unsigned char mem, KSUSB_TOpenTable *out);

/* ---- File operations (names are long names as in the cached table) ------------------------
 *
 * Each starts with KSUSB_CheckConnect and KSUSB_CheckMemory (their codes), looks the file up in
 * the cached table (so refresh first), sends one command, checks the player's echo of the 8.3
 * name and asks for the result. None updates the cache: refresh after a change. Common codes:
 * -2 / -3 command not sent / first reply not read, -4 / -5 result not requested / not read,
 * -6 result reply without '.', -11 the name is NULL, longer than 255 bytes, not in the cached
 * table, or unknown to the player. Caller's thread; each blocks for two exchanges.
 *
 * KSUSB_DeleteFileInMemory: -61 when the card is write-protected (with a card present).
 * KSUSB_RenameInMemory / KSUSB_RenameInMemory83: the new long name is cut to 80 bytes keeping
 *   an extension of up to 5 characters (never splitting a UTF-8 sequence); the player gets a
 *   free ASCII 8.3 name made from it, compact ("MySong~1.MP3") or with the base padded to 8
 *   bytes ("AB      .MP3"). newName is not modified. -10 when the new name (or its cut form) is
 *   already in the table, -11 also for an empty new name, -12 when the player has no room for
 *   the new name, -34 when every 8.3 name it could take is in use, -61 card write-protected.
 * KSUSB_ReplaceInMemory: moves the file to play position `position` (1 = first; sent as
 *   position - 1, so 0 wraps to 255, the end). -61 card write-protected.
 * KSUSB_FormatMemory: erases the memory. -58 when the player reports not ready (0x80), -61 card
 *   write-protected (with a card present). */

KSUSB_API int KSUSB_DeleteFileInMemory(unsigned char mem, const char *name);
KSUSB_API int KSUSB_RenameInMemory(unsigned char mem, const char *oldName, char *newName);
KSUSB_API int KSUSB_RenameInMemory83(unsigned char mem, const char *oldName, char *newName);
KSUSB_API int KSUSB_ReplaceInMemory(unsigned char mem, const char *name, unsigned char position);
KSUSB_API int KSUSB_FormatMemory(unsigned char mem);

/* ---- Transfers (run on a worker thread; notifications through `window`, may be NULL) ------
 *
 * Each call announces the transfer to the player on the caller's thread (blocking for the one
 * command exchange), then starts a detached worker thread and returns 1; 0 with the last-error
 * code set when nothing was started. The worker posts WM_XFER_NOTIFY to `window`: 1 (lParam the
 * total size) when it begins, 2 (bytes so far) after each block once more than `step` bytes have
 * moved and for the final partial block (lParam the total), then exactly one of 3 (done, the
 * total) or 4 (failed, the negative error code), which is always its last act: after 3 or 4 the
 * worker touches neither `window` nor the player, so the caller may free `window` and start the
 * next command. Only one transfer may run at a time; KSUSB_Stop ends it with 4 / -43 after the
 * current block. Paths are UTF-8 and must fit 256 bytes with their terminator: a longer one is
 * refused with -42 before anything is sent. Call from one thread (the caller's). */

/* Sends the PC file `path` into memory `mem` under its own name (the long name cut to 80 bytes
 * with its extension kept; the short name chosen against the cached table). Errors of the call:
 * those of KSUSB_CheckConnect/KSUSB_CheckMemory, -11 no such regular file (or path NULL), -10 the
 * name is in the cached table or the player says it exists, -2/-3 the announcement was not
 * sent/answered, -31 memory full (cached free space not above the size), -34 the name area is
 * full or every 8.3 name the file could take is in use, -55 refused, -31 also for a file of 4 GiB or more, -42 path too long, -21 no thread.
 * Worker: -42 the file cannot be opened, -44 a block was not taken completely or the file
 * shrank, -43 stopped. */
KSUSB_API int KSUSB_Download(unsigned char mem, const char *path, KSNotifyTarget *window,
                             uint32_t step);

/* Copies the player's file `name` (the long name as in the cached table) of memory `mem` to the
 * PC path `path`. The data go to a temporary file beside `path` ("PATH.part-XXXXXX") that
 * replaces `path` only when the whole file has arrived: a failed or stopped upload leaves an
 * existing file as it was and no partial file. Errors of the call: those of the checks, -11 not
 * in the cached table / unknown to the player, -2 the announcement was not sent or answered,
 * -42 path too long, -21. Worker: -42 the temporary file cannot be created or the destination
 * not replaced, -44 the stream ended before the announced size (nothing or a failure arrived;
 * the pipe gives up after 30 s), a block was not written, or the player sent a block-size mode
 * the library does not know, -43 stopped. */
KSUSB_API int KSUSB_Upload(unsigned char mem, const char *name, const char *path,
                           KSNotifyTarget *window, uint32_t step);

/* Sends the image file `path` into system slot `kind` (0x00 boot code, 0x01-0x07 and 0xE3 fonts,
 * 0xE0 icons, 0xE1/0xE2 logos; other values pass through); kind 0xFF is
 * KSUSB_SystemUpdateFirmware. 512-byte blocks. Errors: those of KSUSB_CheckConnect, -11, -2/-3,
 * -55 refused, -42 path too long, -21; worker -42, -44, -43. */
KSUSB_API int KSUSB_SystemReg(unsigned char kind, const char *path, KSNotifyTarget *window,
                              uint32_t step);

/* Sends `path` as a firmware upgrade, announced in 64-byte units. An image of more than
 * 65,535 units (4 MiB - 64 bytes) is refused with -55 before anything is sent, as its count
 * would not fit the announcement. Otherwise as KSUSB_SystemReg. */
KSUSB_API int KSUSB_SystemUpdateFirmware(const char *path, KSNotifyTarget *window, uint32_t step);

/* ---- Physical block access ---------------------------------------------------------------- */

/* Raw flash access at byte `address` of memory `mem`, one command: op 'r' reads 64 bytes into
 * `buffer`, 's' reads the 16-byte spare area into `buffer`, 'x' writes 16 spare bytes from
 * `buffer`, 'w' writes 64 bytes from `buffer`; any other letter is sent without data and nothing
 * is read. Result 1, or 0 with -2 for any failure (a write or read that failed or moved fewer
 * bytes, `buffer` NULL for an operation that needs it), the buffer then left unchanged; the
 * codes of KSUSB_CheckConnect/KSUSB_CheckMemory. Blocks for one exchange; caller's thread. */
KSUSB_API int KSUSB_PhysicalBlockAccess(unsigned char mem, uint32_t address, unsigned char op,
                                        unsigned char *buffer);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
static_assert(sizeof(KSPlayerStatus) == 804, "KSPlayerStatus layout");
static_assert(offsetof(KSPlayerStatus, reply8) == 4, "KSPlayerStatus layout");
static_assert(offsetof(KSPlayerStatus, text11) == 12, "KSPlayerStatus layout");
static_assert(offsetof(KSPlayerStatus, text23) == 268, "KSPlayerStatus layout");
static_assert(offsetof(KSPlayerStatus, version) == 323, "KSPlayerStatus layout");
static_assert(offsetof(KSPlayerStatus, model) == 403, "KSPlayerStatus layout");
static_assert(offsetof(KSPlayerStatus, date) == 483, "KSPlayerStatus layout");
static_assert(offsetof(KSPlayerStatus, text109) == 563, "KSPlayerStatus layout");
static_assert(offsetof(KSPlayerStatus, spare) == 643, "KSPlayerStatus layout");
static_assert(offsetof(KSPlayerStatus, text129) == 723, "KSPlayerStatus layout");
static_assert(sizeof(KSUSB_TFileEntry) == 292, "KSUSB_TFileEntry layout");
static_assert(offsetof(KSUSB_TFileEntry, name83) == 256, "KSUSB_TFileEntry layout");
static_assert(offsetof(KSUSB_TFileEntry, attr) == 270, "KSUSB_TFileEntry layout");
static_assert(offsetof(KSUSB_TFileEntry, rawTimes) == 271, "KSUSB_TFileEntry layout");
static_assert(offsetof(KSUSB_TFileEntry, time) == 282, "KSUSB_TFileEntry layout");
static_assert(offsetof(KSUSB_TFileEntry, date) == 284, "KSUSB_TFileEntry layout");
static_assert(offsetof(KSUSB_TFileEntry, cluster) == 286, "KSUSB_TFileEntry layout");
static_assert(offsetof(KSUSB_TFileEntry, size) == 288, "KSUSB_TFileEntry layout");
static_assert(offsetof(KSUSB_TOpenTable, count) == 8, "KSUSB_TOpenTable layout");
static_assert(offsetof(KSUSB_TOpenTable, entries) == 12, "KSUSB_TOpenTable layout");
static_assert(sizeof(KSUSB_TOpenTable) == 74764, "KSUSB_TOpenTable layout");
#endif

#endif /* KESTOUSB_H */
