/* Velmaro: publishes one live H.264 or H.265 + audio stream per handle to an RTMP
 * server as FLV-format messages.
 *
 * Calling order: RTMP_Open; optionally RTMP_SetParam; RTMP_SendHeader; any
 * number of RTMP_SendVideo and RTMP_SendAudio; RTMP_Close. Every export copies
 * the caller's buffers before it returns. Media before a successful header is
 * refused. RTMP_SendHeader again after media (new parameter sets, a new
 * picture size) queues onMetaData and the sequence headers in order behind
 * the media already given, before whatever comes next; whether the stream
 * has audio stays as the first header said. RTMP_Open and RTMP_Close must not overlap other calls on the same
 * handle; the other calls may come from any thread. */
#ifndef VELMARO_H
#define VELMARO_H

#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(_WIN32) && !defined(_WIN64)
#define VELMARO_CALL __stdcall
#else
#define VELMARO_CALL
#endif

#if defined(_WIN32)
#define VELMARO_API __declspec(dllexport)
#else
#define VELMARO_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes of RTMP_Open, RTMP_SendHeader and RTMP_SetParam. */
enum {
  VELMARO_OK = 0,
  VELMARO_NO_CONNECTION_OBJECT = -2, /* librtmp yielded no connection object */
  VELMARO_URL_REJECTED = -3,         /* the URL was rejected */
  VELMARO_CONNECT_FAILED = -4,       /* no server reached (name lookup, connect or handshake failed) */
  VELMARO_CONNECT_STREAM_FAILED = -5,/* the server refused the publishing stream, or sent a reply too
                                        large, too deeply nested or malformed */
  VELMARO_BAD_HANDLE = -6,           /* null handle, or an unknown parameter id */
  VELMARO_METADATA_FAILED = -7,      /* the metadata message was not sent (or no header record) */
  VELMARO_HEADER_FAILED = -8,        /* a sequence header or the chunk size was not sent, or did not fit */
  VELMARO_OPEN_CANCELLED = -9,       /* RTMP_CancelOpen ended the open */
  VELMARO_TLS_FAILED = -10           /* rtmps://: the server's certificate failed a check (not trusted,
                                        expired, another name) or the CA file was unusable; the trace
                                        says which */
};

/* Parameter ids of RTMP_SetParam. PASSTHROUGH is per handle; the TLS ones
 * are process-wide defaults for the opens that start later, and take a null
 * handle (any handle is ignored). */
enum {
  VELMARO_PARAM_PASSTHROUGH = 1, /* "TRUE" (any case): video buffers go out unchanged */
  VELMARO_PARAM_TLS_CA_FILE = 2, /* a PEM file of authorities trusted besides the system's; null or
                                    empty: the system's only */
  VELMARO_PARAM_TLS_VERIFY = 3   /* "0" (or false/no/off): rtmps:// without certificate checks, said
                                    as a warning in the trace at every open; anything else: checked */
};

/* Video codecs of TMediaHeader.VideoCodecId (also what onMetaData's
 * videocodecid says). H.265 goes out as enhanced RTMP (video tags with the
 * FourCC 'hvc1', the FourCC's value as the id) or in the older form with
 * codec id 12 and AVC's packet types, which servers without enhanced RTMP
 * take. */
enum {
  VELMARO_VIDEO_SORENSON_H263 = 2,
  VELMARO_VIDEO_AVC = 7,
  VELMARO_VIDEO_HEVC_ID12 = 12,
  VELMARO_VIDEO_HEVC = 0x68766331 /* 'hvc1' */
};

/* Stream description; natural alignment. */
typedef struct TMediaHeader {
  int32_t VideoCodecId;   /* VELMARO_VIDEO_...: AVC, either H.265 form, or another FLV codec id */
  int32_t Width;
  int32_t Height;
  double FrameRate;
  int32_t VideoDataRate;  /* bit/s */
  int32_t SpsLen;
  uint8_t Sps[1024];      /* AVC: the SPS NAL unit without start code; H.265: the whole
                             HEVCDecoderConfigurationRecord (VPS, SPS, PPS), Pps unused */
  int32_t PpsLen;
  uint8_t Pps[1024];      /* AVC: the PPS NAL unit without start code */
  uint8_t HasAudio;       /* nonzero: the stream carries audio */
  int32_t AudioCodecId;   /* FLV SoundFormat << 4: 0xA0 AAC, 0xB0 Speex, 0x20 MP3, 0x10 ADPCM, 0x00 PCM */
  int32_t AudioDataRate;  /* bit/s */
  int32_t AudioSampleRate;
  int32_t AudioSampleSize;
  int32_t AudioChannels;
  int32_t AudioConfigLen;
  uint8_t AudioConfig[1024]; /* AAC: the AudioSpecificConfig */
} TMediaHeader;

/* The opaque sender handle; null means no connection. */
typedef void* TVelmaroHandle;

/* Returns within about 10 s whatever the server does (name lookup and the
 * TLS handshake included): past that deadline the stage under way fails with
 * its own code. Blanks around the URL are ignored. rtmps://host[:port]/app/key
 * (port 443 by default) runs over TLS: the host's name is sent (SNI) and, unless
 * VELMARO_PARAM_TLS_VERIFY says otherwise, the certificate must chain to the
 * system's authorities (or the CA file's) and name the host.
 *
 * A connection is broken on a socket error, or when the server has
 * acknowledged no byte for 10 s while data is outstanding; a slower server
 * only makes the media queue (see TVelmaroStats). The kernel is given at most
 * 64 KiB not yet sent. A broken connection and a close with bytes still
 * unacknowledged end in a reset, so the server frees the stream at once. */
VELMARO_API int32_t VELMARO_CALL RTMP_Open(const char* url, TVelmaroHandle* handle);
VELMARO_API int32_t VELMARO_CALL RTMP_SendHeader(TVelmaroHandle handle, const TMediaHeader* header);
/* One H.264 or H.265 access unit in Annex B form (one message per call). A message
 * body above 0xFFFFFF bytes (RTMP's 24-bit length) is refused (false). */
VELMARO_API bool VELMARO_CALL RTMP_SendVideo(TVelmaroHandle handle, const uint8_t* data, uint32_t length,
                                            uint32_t timestampMs, uint8_t keyFrame);
/* One raw audio frame (AAC without ADTS header). */
VELMARO_API bool VELMARO_CALL RTMP_SendAudio(TVelmaroHandle handle, const uint8_t* data, uint32_t length,
                                            uint32_t timestampMs);
VELMARO_API bool VELMARO_CALL RTMP_Close(TVelmaroHandle handle);
VELMARO_API int32_t VELMARO_CALL RTMP_SetParam(TVelmaroHandle handle, int32_t id, const char* value);

/* Ends every RTMP_Open under way in this process: each returns
 * VELMARO_OPEN_CANCELLED within about 100 ms, with no handle, from whichever
 * wait it was in (name lookup, connect, handshake, the server's replies). Opens that start later
 * are not affected. Async-signal-safe (one atomic increment), so a signal
 * handler or any thread may call it while another thread waits in RTMP_Open. */
VELMARO_API void VELMARO_CALL RTMP_CancelOpen(void);

/* What a handle has done so far; counters only grow while the handle lives. */
typedef struct TVelmaroStats {
  uint64_t BytesSent;          /* bytes the server acknowledged: what has left, RTMP framing and TLS
                                  included (not what was handed over and may still sit in the kernel) */
  uint32_t VideoFramesDropped; /* dropped by the library: when the oldest video waiting has waited
                                  more than 8 s or the queue holds more than 32 MB, whole groups of
                                  pictures go, from the oldest end. Audio is dropped (oldest first)
                                  only when no video is left to drop, so a server that takes the
                                  audio's rate gets continuous audio */
  uint32_t AudioFramesDropped;
  uint32_t QueuedMs;           /* media waiting to be sent, as a time span */
  uint32_t QueuedBytes;
  uint8_t SendFailed;          /* nonzero: the connection broke; media is refused for good */
  uint8_t AnyMediaSent;        /* nonzero once the server acknowledged a whole media message */
  uint32_t SentMediaMs;        /* time stamp of the newest media message the server acknowledged
                                  (valid with AnyMediaSent): everything queued before it has left too */
} TVelmaroStats;

/* Fills *stats; VELMARO_OK, or VELMARO_BAD_HANDLE for a null handle or record.
 * May be called from any thread while the handle is open. */
VELMARO_API int32_t VELMARO_CALL RTMP_GetStats(TVelmaroHandle handle, TVelmaroStats* stats);

#ifdef __cplusplus
}
#endif

#endif
