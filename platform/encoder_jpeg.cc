// SPDX-License-Identifier: GPL-3.0-or-later
// The JPEG encoder, with libjpeg-turbo, and its one parameter, the quality. libjpeg-turbo reads
// the pixel words directly as BGRA bytes and drops alpha.

#include <csetjmp>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/encoder_support.h"
#include "platform/encoders.h"
#include "platform/imaging_internal.h"
#include "platform/modules.h"

extern "C" {
#include <jpeglib.h>
}

namespace {

// JPEG quality used when the save passes no parameter block (libjpeg's own default).
constexpr int kDefaultJpegQuality = 75;

// The quality is read as the program's signed 32-bit value; libjpeg's range 1..100 is imposed
// here, so any value reaches the encoder and comes out clamped.
GpStatus JpegQuality(const EncoderParameters* params, int* quality, std::string* why) {
  *quality = kDefaultJpegQuality;
  if (params == nullptr) return Ok;
  for (std::uint32_t i = 0; i < params->Count; ++i) {
    const EncoderParameter& p = params->Parameter[i];
    if (p.Guid != EncoderQuality) {
      *why = "encoder parameter not supported by the JPEG encoder";
      return InvalidParameter;
    }
    if (p.NumberOfValues != 1 || p.Type != EncoderParameterValueTypeLong || p.Value == nullptr) {
      *why = "the JPEG quality must be one 32-bit value";
      return InvalidParameter;
    }
    std::int32_t value;
    std::memcpy(&value, p.Value, sizeof value);
    *quality = value < 1 ? 1 : (value > 100 ? 100 : value);
  }
  return Ok;
}

struct JpegJob {
  const ArgbPixels* image;
  int quality;
  unsigned char* buffer;  // malloc'd by libjpeg's memory destination; freed by the caller
  unsigned long size;
  char message[JMSG_LENGTH_MAX];
};

struct JpegErrorManager {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
  JpegJob* job;
};

void JpegErrorExit(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<JpegErrorManager*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, err->job->message);
  std::longjmp(err->jump, 1);
}

void JpegSilence(j_common_ptr) {}

// Only trivially destructible locals here: the error path leaves through longjmp.
bool RunJpeg(JpegJob* job) {
  jpeg_compress_struct cinfo;
  JpegErrorManager err;
  err.job = job;
  cinfo.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = JpegErrorExit;
  err.pub.output_message = JpegSilence;
  if (setjmp(err.jump)) {
    jpeg_destroy_compress(&cinfo);
    return false;
  }
  jpeg_create_compress(&cinfo);
  jpeg_mem_dest(&cinfo, &job->buffer, &job->size);
  cinfo.image_width = static_cast<JDIMENSION>(job->image->width);
  cinfo.image_height = static_cast<JDIMENSION>(job->image->height);
  cinfo.input_components = 4;
  cinfo.in_color_space = JCS_EXT_BGRA;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, job->quality, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = reinterpret_cast<JSAMPROW>(const_cast<std::uint32_t*>(
        job->image->pixels + static_cast<std::size_t>(cinfo.next_scanline) *
                                 static_cast<std::size_t>(job->image->width)));
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  return true;
}

GpStatus EncodeJpeg(const ArgbPixels& image, const EncoderParameters* params, std::string* out,
                    std::string* why) {
  JpegJob job{&image, kDefaultJpegQuality, nullptr, 0, {}};
  if (GpStatus s = JpegQuality(params, &job.quality, why); s != Ok) return s;
  GpStatus status = Ok;
  if (!RunJpeg(&job)) {
    *why = std::string("JPEG: ") + job.message;
    status = GenericError;
  } else {
    status = CopyEncoded(job.buffer, job.size, out, why);
  }
  std::free(job.buffer);
  return status;
}

}  // namespace

VGRID_MODULE_EXPORT GpStatus VgridEncode(const ArgbPixels& image, const EncoderParameters* params,
                                         std::string* out, std::string* why) {
  return EncodeJpeg(image, params, out, why);
}
