/*
 * quarn client API: one call formats a log line and hands it to the local
 * quarn server without ever blocking.  Compiles as C11 and as C++.
 *
 * The wire format is described in protocol/PROTOCOL.md.
 */
#ifndef QUARN_H
#define QUARN_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Record marker: the first four bytes of every record (AB 79 AB 79 on a
 * little-endian board). */
#define QUARN_MSG_MAGIC 0x79AB79ABu

/* Origin codes carried in quarn_msg_head_t.type. */
#define QUARN_TYPE_APP 0x1001     /* application text, also BSP text from this library */
#define QUARN_TYPE_APP_RSV 0x1002 /* reserved: accepted on the wire, dropped by the server */
#define QUARN_TYPE_BSP 0x2001     /* board-support text from other senders */
#define QUARN_TYPE_DSP 0x2002     /* DSP text */

/* Log kinds: the origin argument of quarn_msg_write_with_type. */
#define QUARN_APP_LOG_INIT 0
#define QUARN_BSP_LOG_INIT 1
#define QUARN_DSP_LOG_INIT 2

/* Level codes carried in quarn_msg_head_t.level. */
#define QUARN_LEVEL_DEBUG 0 /* console only, while the print level is 0 */
#define QUARN_LEVEL_INFO 1
#define QUARN_LEVEL_WARN 2
#define QUARN_LEVEL_ERROR 3
#define QUARN_LEVEL_FILE 4 /* stored, never shown */
#define QUARN_LEVEL_CMD 5  /* the text is a control command */

/* System V key of the 4-byte control word holding the application print level. */
#define QUARN_CTRL_KEY 0x6869636F
/* Source of the abstract socket name shared by server and clients. */
#define QUARN_SOCK_PATH "/home/app/quarn_socket"
/* End flag of a log file; the marker on disk is "\n" QUARN_END_FLAG "\n". */
#define QUARN_END_FLAG "+$end$+"

#define QUARN_MSG_HEAD_LEN 40   /* bytes of quarn_msg_head_t */
#define QUARN_MSG_NAME_LEN 28   /* bytes of quarn_msg_head_t.name */
#define QUARN_MSG_BUF_LEN 1152  /* the sender's whole record buffer */
#define QUARN_MSG_TEXT_LEN 1112 /* its text area: QUARN_MSG_BUF_LEN - QUARN_MSG_HEAD_LEN */
#define QUARN_MSG_PART_MAX 1023 /* longest message part, in characters */
#define QUARN_MSG_TAG_MAX 26    /* characters of the tag kept in name */
#define QUARN_MSG_RECV_LEN 1280 /* the server keeps records shorter than this */

/* One record on the wire and in the server's ring buffer: this header, then
 * exactly len bytes of text with no terminating NUL.  Host byte order. */
typedef struct quarn_msg_head {
    uint32_t magic; /* QUARN_MSG_MAGIC */
    uint16_t type;  /* origin code, QUARN_TYPE_* */
    uint16_t len;   /* text bytes after the header */
    int32_t level;  /* level code, QUARN_LEVEL_*; the server reads it unsigned */
    char name[QUARN_MSG_NAME_LEN]; /* tag: up to 26 characters, zero-padded */
} quarn_msg_head_t;

#ifdef __cplusplus
#define QUARN_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define QUARN_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif
QUARN_STATIC_ASSERT(sizeof(quarn_msg_head_t) == QUARN_MSG_HEAD_LEN, "header is 40 bytes");
QUARN_STATIC_ASSERT(offsetof(quarn_msg_head_t, magic) == 0, "magic at 0");
QUARN_STATIC_ASSERT(offsetof(quarn_msg_head_t, type) == 4, "type at 4");
QUARN_STATIC_ASSERT(offsetof(quarn_msg_head_t, len) == 6, "len at 6");
QUARN_STATIC_ASSERT(offsetof(quarn_msg_head_t, level) == 8, "level at 8");
QUARN_STATIC_ASSERT(offsetof(quarn_msg_head_t, name) == 12, "name at 12");
QUARN_STATIC_ASSERT(QUARN_MSG_TEXT_LEN + QUARN_MSG_HEAD_LEN == QUARN_MSG_BUF_LEN, "text area");

#if defined(__GNUC__)
#define QUARN_PRINTF(fmt_idx, arg_idx) __attribute__((format(printf, fmt_idx, arg_idx)))
/* The library is built with hidden symbols; only the API is exported. */
#define QUARN_API __attribute__((visibility("default")))
#else
#define QUARN_PRINTF(fmt_idx, arg_idx)
#define QUARN_API
#endif

/*
 * Formats one record and sends it to the server; never blocks.
 *   origin: log kind (QUARN_DSP_LOG_INIT sends DSP text, anything else
 *           application text);
 *   level:  level code; 5 sends fmt's output as a control command;
 *   tag:    module tag, shown in brackets; the first 26 characters go into
 *           the header's name.
 * Text layout: levels 0-3 "[YYYY-MM-DD hh:mm:ss][LABEL][tag]message",
 * level 5 "message", any other level "[YYYY-MM-DD hh:mm:ss]message".
 * The message part is cut at 1023 characters.  Application debug records
 * are dropped while the server's print level is above debug.  A record that
 * cannot be sent is lost and counted; the reason is printed on standard
 * output once per run of losses, and the next record that goes out is
 * preceded by a warning line, tag "quarn": "N records lost: <reason>".
 * Safe to call from many threads at once.
 */
QUARN_API void quarn_msg_write_with_type(int origin, int level, const char *tag, const char *fmt, ...)
    QUARN_PRINTF(4, 5);

/*
 * Copies the version text ("v1.0.0 svn635612") into ver and the build text
 * (compiler date and time) into bld.  A null buffer is skipped.  A buffer
 * smaller than its text plus the terminator is left zero-filled and a
 * message is printed.
 */
QUARN_API void quarn_get_version(char *ver, int ver_len, char *bld, int bld_len);

/* Asks the server to open the DSP log file of logSize bytes, stage DSP text
 * in batches of syncSize bytes and show DSP lines from loglevel up. */
static inline void quarn_msg_dsp_init(int logSize, int syncSize, int loglevel)
{
    char cmd[128];
    snprintf(cmd, sizeof cmd, "dsp_init %d %d %d", logSize, syncSize, loglevel);
    quarn_msg_write_with_type(QUARN_DSP_LOG_INIT, QUARN_LEVEL_CMD, "DSP", "%s", cmd);
}

/* Sets the DSP print level on the server. */
static inline void quarn_dsp_change_level(int level)
{
    char cmd[128];
    snprintf(cmd, sizeof cmd, "level%d", level);
    quarn_msg_write_with_type(QUARN_DSP_LOG_INIT, QUARN_LEVEL_CMD, "DSP", "%s", cmd);
}

/* Asks the server to open the BSP log file of logSize bytes and copy the
 * kernel log into it every freq seconds (3 when freq is 0 or less). */
static inline void quarn_msg_bsp_init(int logSize, int freq)
{
    char cmd[128];
    snprintf(cmd, sizeof cmd, "bsp_init %d %d", logSize, freq);
    quarn_msg_write_with_type(QUARN_BSP_LOG_INIT, QUARN_LEVEL_CMD, "BSP", "%s", cmd);
}

/* Asks the server to write waiting log text of every kind at most seconds
 * after its first line arrived, even below the sync size; 0 leaves the
 * writing to the sync size alone.  The server starts with 10. */
static inline void quarn_msg_set_interval(int seconds)
{
    char cmd[128];
    snprintf(cmd, sizeof cmd, "interval %d", seconds);
    quarn_msg_write_with_type(QUARN_APP_LOG_INIT, QUARN_LEVEL_CMD, "CMD", "%s", cmd);
}

#ifdef __cplusplus
}
#endif

#endif /* QUARN_H */
