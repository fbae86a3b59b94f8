// SPDX-License-Identifier: GPL-3.0-or-later
// Counts what a program decodes with libavcodec, for the benchmark: loaded with LD_PRELOAD, it
// stands in front of avcodec_send_packet and avcodec_receive_frame, counts the packets sent and
// the pictures received (video only), and appends "PACKETS PICTURES" to the file named by
// BENCH_FRAMES_LOG when the program ends.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <libavcodec/avcodec.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>

static atomic_long packets_sent;
static atomic_long pictures_received;

int avcodec_send_packet(AVCodecContext* ctx, const AVPacket* pkt) {
  static int (*real)(AVCodecContext*, const AVPacket*);
  if (!real) real = (int (*)(AVCodecContext*, const AVPacket*))dlsym(RTLD_NEXT, __func__);
  const int rc = real(ctx, pkt);
  if (rc >= 0 && pkt && pkt->size > 0 && ctx->codec_type == AVMEDIA_TYPE_VIDEO)
    atomic_fetch_add(&packets_sent, 1);
  return rc;
}

int avcodec_receive_frame(AVCodecContext* ctx, AVFrame* frame) {
  static int (*real)(AVCodecContext*, AVFrame*);
  if (!real) real = (int (*)(AVCodecContext*, AVFrame*))dlsym(RTLD_NEXT, __func__);
  const int rc = real(ctx, frame);
  if (rc == 0 && ctx->codec_type == AVMEDIA_TYPE_VIDEO) atomic_fetch_add(&pictures_received, 1);
  return rc;
}

__attribute__((destructor)) static void report(void) {
  const char* path = getenv("BENCH_FRAMES_LOG");
  if (!path) return;
  FILE* f = fopen(path, "a");
  if (!f) return;
  fprintf(f, "%ld %ld\n", atomic_load(&packets_sent), atomic_load(&pictures_received));
  fclose(f);
}
