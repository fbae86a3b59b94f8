// SPDX-License-Identifier: GPL-3.0-or-later
// The filter graphs that deinterlace and tone map the pictures that need it: which filters a
// picture needs, here; the graph that runs them, in the filter graph module.
#include "frames/frame_filter.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libavutil/mastering_display_metadata.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <cstdio>

namespace {

// Brightness (cd/m2) of the stream's brightest pixel, as its content light level or its
// mastering display says, from the frame or else from the container; 1000 (the usual
// mastering peak, and HLG's reference display) when neither says.
double PeakNits(const AVFrame* f, const AVStream* st) {
  const AVContentLightMetadata* cll = nullptr;
  if (const AVFrameSideData* sd = av_frame_get_side_data(f, AV_FRAME_DATA_CONTENT_LIGHT_LEVEL);
      sd != nullptr && sd->size >= sizeof(AVContentLightMetadata))
    cll = reinterpret_cast<const AVContentLightMetadata*>(sd->data);
  if (cll == nullptr) cll = StreamContentLightLevel(st);
  if (cll != nullptr && cll->MaxCLL > 0) return std::clamp<double>(cll->MaxCLL, 100, 10000);
  const AVMasteringDisplayMetadata* md = nullptr;
  if (const AVFrameSideData* sd =
          av_frame_get_side_data(f, AV_FRAME_DATA_MASTERING_DISPLAY_METADATA);
      sd != nullptr && sd->size >= sizeof(AVMasteringDisplayMetadata))
    md = reinterpret_cast<const AVMasteringDisplayMetadata*>(sd->data);
  if (md == nullptr) md = StreamMasteringDisplay(st);
  if (md != nullptr && md->has_luminance && md->max_luminance.den > 0) {
    const double nits = av_q2d(md->max_luminance);
    if (nits > 0) return std::clamp(nits, 100.0, 10000.0);
  }
  return 1000;
}

// The code of `field` when it is one of its enumeration's values, else `unspecified`.
template <typename Code>
Code Known(const Code& field, int count, const char* (*name)(Code), Code unspecified) {
  const int number = CodeNumber(field);
  if (number < 0 || number >= count) return unspecified;
  const auto code = static_cast<Code>(number);
  return name(code) != nullptr ? code : unspecified;
}

// The colour the picture states, else the colour its stream states (unknown codes taken for
// unspecified).
template <typename Code>
Code Stated(const Code& own, const Code& stream, int count, const char* (*name)(Code),
            Code unspecified) {
  const Code code = Known(own, count, name, unspecified);
  return code != unspecified ? code : Known(stream, count, name, unspecified);
}

// The zscale options that say what the frame's colours are. zscale numbers transfer,
// primaries and matrix as H.273 does, like the frame's tags.
std::string InputColours(const AVFrame* f, int transfer) {
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(f->format));
  const bool rgb = desc != nullptr && (desc->flags & AV_PIX_FMT_FLAG_RGB);
  const int primaries =
      f->color_primaries != AVCOL_PRI_UNSPECIFIED ? f->color_primaries : AVCOL_PRI_BT2020;
  std::string s = "tin=" + std::to_string(transfer) + ":pin=" + std::to_string(primaries);
  if (!rgb) {
    const int matrix =
        f->colorspace != AVCOL_SPC_UNSPECIFIED ? f->colorspace : AVCOL_SPC_BT2020_NCL;
    s += ":min=" + std::to_string(matrix);
    s += f->color_range == AVCOL_RANGE_JPEG ? ":rin=full" : ":rin=limited";
  }
  return s;
}

// The filters frame `f` of `st` needs, empty when it needs none.
std::string ChainFor(const AVFrame* f, const AVStream* st, int width, int height) {
  std::string chain;
  // A player deinterlaces what the decoder says is interlaced (soft-telecined and progressive
  // pictures are not): yadif, one picture per frame, at the frame's time.
  if (IsInterlaced(f)) chain = "yadif=mode=send_frame:parity=auto:deint=all";
  const bool pq = f->color_trc == AVCOL_TRC_SMPTE2084;
  const bool hlg = f->color_trc == AVCOL_TRC_ARIB_STD_B67;
  std::string colours;
  // Colours are converted per pixel: a picture bigger than it is shown is made that size
  // first (in the picture's own coding, as the scaler would), which costs a fraction of
  // converting every pixel of a 4K picture in floating point.
  std::string resize;
  if (width > 0 && height > 0 && width <= f->width && height <= f->height &&
      (width < f->width || height < f->height))
    resize = ":w=" + std::to_string(width) + ":h=" + std::to_string(height) + ":f=bicubic";
  if (pq || hlg) {
    // Linear light with 100 cd/m2 as 1.0, BT.709 primaries, the Hable curve from the
    // stream's peak down to SDR white, then the BT.709 transfer.
    char peak[32];
    std::snprintf(peak, sizeof peak, "%.3f", PeakNits(f, st) / 100.0);
    colours = "zscale=" + InputColours(f, f->color_trc) + resize +
              ":t=linear:npl=100,format=gbrpf32le,zscale=p=709,tonemap=tonemap=hable:desat=0:"
              "peak=" +
              peak + ",zscale=t=709,format=gbrp";
  } else if (f->color_primaries == AVCOL_PRI_BT2020) {
    // Wide-gamut SDR: the primaries converted in linear light, the picture's own transfer
    // kept (BT.709's is the curve of BT.2020's; an sRGB one stays sRGB).
    const int transfer = f->color_trc != AVCOL_TRC_UNSPECIFIED ? f->color_trc : AVCOL_TRC_BT709;
    colours = "zscale=" + InputColours(f, transfer) + resize +
              ":p=709:t=" + std::to_string(transfer) + ",format=gbrp";
  }
  if (!colours.empty()) chain += (chain.empty() ? "" : ",") + colours;
  return chain;
}

}  // namespace

FrameFilter::FrameFilter() = default;
FrameFilter::~FrameFilter() = default;

const AVFrame* FrameFilter::Described(const AVFrame* f, const AVStream* st) {
  const AVCodecParameters* par = st->codecpar;
  const auto primaries = Stated(f->color_primaries, par->color_primaries, AVCOL_PRI_NB,
                                av_color_primaries_name, AVCOL_PRI_UNSPECIFIED);
  const auto transfer = Stated(f->color_trc, par->color_trc, AVCOL_TRC_NB, av_color_transfer_name,
                               AVCOL_TRC_UNSPECIFIED);
  const auto matrix = Stated(f->colorspace, par->color_space, AVCOL_SPC_NB, av_color_space_name,
                             AVCOL_SPC_UNSPECIFIED);
  const auto range = Stated(f->color_range, par->color_range, AVCOL_RANGE_NB, av_color_range_name,
                            AVCOL_RANGE_UNSPECIFIED);
  if (CodeNumber(f->color_primaries) == primaries && CodeNumber(f->color_trc) == transfer &&
      CodeNumber(f->colorspace) == matrix && CodeNumber(f->color_range) == range)
    return f;
  if (!described_) described_.reset(av_frame_alloc());
  if (!described_) return nullptr;
  av_frame_unref(described_.get());
  if (av_frame_ref(described_.get(), f) < 0) return nullptr;
  described_->color_primaries = primaries;
  described_->color_trc = transfer;
  described_->colorspace = matrix;
  described_->color_range = range;
  return described_.get();
}

const AVFrame* FrameFilter::Apply(const AVFrame* decoded, const AVFrame* following,
                                  const AVStream* st, int width, int height) {
  const AVFrame* f = Described(decoded, st);
  if (f == nullptr) return nullptr;
  const std::string chain = ChainFor(f, st, width, height);
  if (chain.empty()) return f;
  const std::string key = chain + "|" + std::to_string(f->width) + "x" + std::to_string(f->height) +
                          "|" + std::to_string(f->format) + "|" +
                          std::to_string(f->sample_aspect_ratio.num) + ":" +
                          std::to_string(f->sample_aspect_ratio.den);
  if (!graph_ || spent_ || key != built_for_) {
    built_for_.clear();
    spent_ = false;
    // Without libavfilter (or the graph) the picture is shown as decoded, as for any picture
    // the filters cannot take.
    std::string why;
    graph_ = FilterGraph::Build(f, chain, &why);
    if (!graph_) return f;
    built_for_ = key;
  }
  if (!out_) out_.reset(av_frame_alloc());
  if (!out_) return f;
  // The deinterlacer holds a frame until it sees what follows: it is given the frame after
  // it, whose fields tell it where the picture moves (a frame alone, compared with itself,
  // would keep both fields woven), then the end of input, which makes it give the frame's
  // picture now and leaves the graph spent.
  const bool interlaced = IsInterlaced(f);
  if (interlaced) spent_ = true;
  const bool follows = interlaced && following != nullptr && following->width == f->width &&
                       following->height == f->height && following->format == f->format;
  if (!graph_->Run(f, follows ? following : nullptr, interlaced, out_.get())) {
    // The graph may hold anything now; the next picture gets a new one.
    graph_.reset();
    built_for_.clear();
    return f;
  }
  return out_.get();
}
