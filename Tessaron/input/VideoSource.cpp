#include "input/VideoSource.hpp"

#include <cmath>
#include <mutex>
#include <string_view>
#include <vector>

#include <opencv2/core.hpp>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/error.h>
#include <libswscale/swscale.h>
}

namespace tessaron::input {

namespace {

std::string errorText(int code) {
    char buffer[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, buffer, sizeof buffer);
    return buffer;
}

VideoSource::VideoError readError() {
    return VideoSource::VideoError(VideoSource::ErrorKind::readFailed, "The video could not be read to the end.");
}

// Deprecated "J" formats carry full range in their name; swscale wants the
// plain format plus an explicit range.
AVPixelFormat plainFormat(AVPixelFormat format, bool& fullRange) {
    switch (format) {
        case AV_PIX_FMT_YUVJ420P: fullRange = true; return AV_PIX_FMT_YUV420P;
        case AV_PIX_FMT_YUVJ422P: fullRange = true; return AV_PIX_FMT_YUV422P;
        case AV_PIX_FMT_YUVJ444P: fullRange = true; return AV_PIX_FMT_YUV444P;
        case AV_PIX_FMT_YUVJ440P: fullRange = true; return AV_PIX_FMT_YUV440P;
        case AV_PIX_FMT_YUVJ411P: fullRange = true; return AV_PIX_FMT_YUV411P;
        default: return format;
    }
}

}  // namespace

struct VideoSource::Impl {
    std::string path;
    AVFormatContext* format = nullptr;
    AVCodecContext* codec = nullptr;
    AVStream* stream = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    SwsContext* scaler = nullptr;
    bool draining = false;
    std::int64_t packetsRead = 0;     // of the video stream
    std::int64_t indexedSamples = 0;  // the stream's index entries as the header gave them
    bool seeked = false;

    ~Impl() {
        sws_freeContext(scaler);
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&codec);
        avformat_close_input(&format);
    }

    // The demuxer reports a file that was cut short or scribbled over as a
    // plain end; the container's own bookkeeping tells. A sample index read
    // with the header (MP4, an intact AVI) must come out whole and lie inside
    // the file. An AVI whose index was lost (it sits at the end of the file)
    // must reach the frame count of its header. Counts only hold for a read
    // from the start, not after a seek.
    bool endedEarly() const {
        if (indexedSamples > 0) {
            if (!seeked && packetsRead < indexedSamples) return true;
            const std::int64_t fileSize = format->pb ? avio_size(format->pb) : -1;
            const AVIndexEntry* last = avformat_index_get_entry(stream, int(indexedSamples) - 1);
            return fileSize > 0 && last && last->pos >= 0 && last->pos + last->size > fileSize;
        }
        if (std::string_view(format->iformat->name) == "avi")
            return !seeked && stream->nb_frames > 0 && packetsRead < stream->nb_frames;
        return false;
    }

    // Feeds the decoder one packet of the stream, or the flush at the end.
    void feedDecoder() {
        for (;;) {
            int status = av_read_frame(format, packet);
            if (status == AVERROR_EOF || (status < 0 && format->pb && avio_feof(format->pb) && !format->pb->error)) {
                if (format->pb && format->pb->error < 0) throw readError();
                if (endedEarly()) throw readError();
                draining = true;
                avcodec_send_packet(codec, nullptr);
                return;
            }
            if (status < 0) throw readError();
            if (packet->stream_index != stream->index) {
                av_packet_unref(packet);
                continue;
            }
            ++packetsRead;
            if (packet->size == 0) {
                // A dropped frame (an empty AVI chunk) carries no picture, and
                // an empty packet would tell the decoder the stream has ended.
                av_packet_unref(packet);
                continue;
            }
            const bool corrupt = (packet->flags & AV_PKT_FLAG_CORRUPT) != 0;
            status = corrupt ? AVERROR_INVALIDDATA : avcodec_send_packet(codec, packet);
            av_packet_unref(packet);
            if (status < 0 && status != AVERROR(EAGAIN)) throw readError();
            return;
        }
    }

    // The next decoded frame in `frame`; false at the end of the stream.
    bool decodeNext() {
        for (;;) {
            av_frame_unref(frame);
            int status = avcodec_receive_frame(codec, frame);
            if (status == 0) {
                // A frame decoded around a broken bitstream is damage. A frame
                // that only lacks a reference (a stream cut mid-group) is not.
                constexpr int damage = FF_DECODE_ERROR_INVALID_BITSTREAM | FF_DECODE_ERROR_CONCEALMENT_ACTIVE |
                                       FF_DECODE_ERROR_DECODE_SLICES;
                if (frame->decode_error_flags & damage) throw readError();
                return true;
            }
            if (status == AVERROR_EOF) return false;
            if (status != AVERROR(EAGAIN) || draining) throw readError();
            feedDecoder();
        }
    }

    cv::Mat convertFrame() {
        const int width = frame->width, height = frame->height;
        bool fullRange = frame->color_range == AVCOL_RANGE_JPEG;
        const AVPixelFormat source = plainFormat(AVPixelFormat(frame->format), fullRange);
        scaler = sws_getCachedContext(scaler, width, height, source, width, height, AV_PIX_FMT_BGRA, SWS_BILINEAR,
                                      nullptr, nullptr, nullptr);
        if (!scaler) throw readError();
        int* inverseTable = nullptr;
        int* table = nullptr;
        int sourceRange = 0, destinationRange = 0, brightness = 0, contrast = 0, saturation = 0;
        if (sws_getColorspaceDetails(scaler, &inverseTable, &sourceRange, &table, &destinationRange, &brightness,
                                     &contrast, &saturation) >= 0) {
            const int colorspace = frame->colorspace == AVCOL_SPC_BT709 ? SWS_CS_ITU709 : SWS_CS_DEFAULT;
            sws_setColorspaceDetails(scaler, sws_getCoefficients(colorspace), fullRange ? 1 : 0, table,
                                     destinationRange, brightness, contrast, saturation);
        }
        cv::Mat bgra(height, width, CV_8UC4);
        uint8_t* destination[4] = {bgra.data, nullptr, nullptr, nullptr};
        int destinationStride[4] = {int(bgra.step[0]), 0, 0, 0};
        sws_scale(scaler, frame->data, frame->linesize, 0, height, destination, destinationStride);
        return bgra;
    }
};

VideoSource::VideoSource(const std::filesystem::path& path) : impl_(std::make_unique<Impl>()) {
    // Decoding problems surface as VideoError; FFmpeg's own console chatter
    // about them would only duplicate that.
    static std::once_flag quietLogs;
    std::call_once(quietLogs, [] { av_log_set_level(AV_LOG_FATAL); });

    Impl& d = *impl_;
    d.path = path.string();
    auto openError = [&](int status) {
        return VideoError(ErrorKind::openFailed,
                          "Could not open the video \"" + d.path + "\" (" + errorText(status) + ").");
    };
    int status = avformat_open_input(&d.format, d.path.c_str(), nullptr, nullptr);
    if (status < 0) throw openError(status);
    // Probing adds entries for the packets it reads; what the header
    // brought is counted first.
    std::vector<int> headerIndexSizes;
    for (unsigned i = 0; i < d.format->nb_streams; ++i)
        headerIndexSizes.push_back(avformat_index_get_entries_count(d.format->streams[i]));
    status = avformat_find_stream_info(d.format, nullptr);
    if (status < 0) throw openError(status);

    for (unsigned i = 0; i < d.format->nb_streams; ++i) {
        AVStream* candidate = d.format->streams[i];
        const bool isVideo = candidate->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
                             !(candidate->disposition & AV_DISPOSITION_ATTACHED_PIC);
        if (isVideo && !d.stream)
            d.stream = candidate;
        else
            candidate->discard = AVDISCARD_ALL;
    }
    if (!d.stream) throw VideoError(ErrorKind::noVideoTrack, "No video track found in the provided file.");
    if (std::size_t(d.stream->index) < headerIndexSizes.size())
        d.indexedSamples = headerIndexSizes[std::size_t(d.stream->index)];

    const AVCodec* decoder = avcodec_find_decoder(d.stream->codecpar->codec_id);
    if (!decoder)
        throw VideoError(ErrorKind::decoderUnavailable, std::string("No decoder for the video's codec (") +
                                                            avcodec_get_name(d.stream->codecpar->codec_id) + ").");
    d.codec = avcodec_alloc_context3(decoder);
    d.packet = av_packet_alloc();
    d.frame = av_frame_alloc();
    if (!d.codec || !d.packet || !d.frame) throw openError(AVERROR(ENOMEM));
    status = avcodec_parameters_to_context(d.codec, d.stream->codecpar);
    if (status < 0) throw openError(status);
    d.codec->thread_count = 0;  // one decoding thread per core
    status = avcodec_open2(d.codec, decoder, nullptr);
    if (status < 0)
        throw VideoError(ErrorKind::decoderUnavailable,
                         "Could not open the decoder for \"" + d.path + "\" (" + errorText(status) + ").");
}

VideoSource::~VideoSource() = default;

double VideoSource::nominalFrameRate() const {
    for (AVRational rate : {impl_->stream->avg_frame_rate, impl_->stream->r_frame_rate})
        if (rate.num > 0 && rate.den > 0) return av_q2d(rate);
    return 0;
}

double VideoSource::durationSeconds() const {
    if (impl_->format->duration != AV_NOPTS_VALUE && impl_->format->duration > 0)
        return double(impl_->format->duration) / AV_TIME_BASE;
    if (impl_->stream->duration != AV_NOPTS_VALUE && impl_->stream->duration > 0)
        return double(impl_->stream->duration) * av_q2d(impl_->stream->time_base);
    return 0;
}

int VideoSource::naturalWidth() const { return impl_->stream->codecpar->width; }

int VideoSource::naturalHeight() const { return impl_->stream->codecpar->height; }

int VideoSource::rotationDegrees() const {
    const uint8_t* matrix = av_stream_get_side_data(impl_->stream, AV_PKT_DATA_DISPLAYMATRIX, nullptr);
    if (!matrix) return 0;
    const double counterClockwise = av_display_rotation_get(reinterpret_cast<const int32_t*>(matrix));
    if (!std::isfinite(counterClockwise)) return 0;
    const long quarterTurns = std::lround(-counterClockwise / 90.0);
    return int(((quarterTurns % 4) + 4) % 4) * 90;
}

bool VideoSource::readFrame(cv::Mat& bgra) {
    if (!impl_->decodeNext()) return false;
    bgra = impl_->convertFrame();
    return true;
}

cv::Mat VideoSource::frameAt(double seconds, double toleranceAfter) {
    Impl& d = *impl_;
    const AVRational timeBase = d.stream->time_base;
    const std::int64_t start = d.stream->start_time != AV_NOPTS_VALUE ? d.stream->start_time : 0;
    auto toStreamTime = [&](double value, AVRounding rounding) {
        return start +
               av_rescale_q_rnd(std::int64_t(std::llround(value * 1e6)), AVRational{1, 1000000}, timeBase, rounding);
    };
    const std::int64_t earliest = toStreamTime(seconds, AV_ROUND_UP);
    const std::int64_t latest = toStreamTime(seconds + toleranceAfter, AV_ROUND_DOWN);
    if (seconds > 0 && av_seek_frame(d.format, d.stream->index, earliest, AVSEEK_FLAG_BACKWARD) >= 0) {
        avcodec_flush_buffers(d.codec);
        d.draining = false;
        d.seeked = true;
    }
    auto unavailable = [&] {
        return VideoError(ErrorKind::frameUnavailable, "The video has no frame between " + std::to_string(seconds) +
                                                           " s and " + std::to_string(seconds + toleranceAfter) +
                                                           " s.");
    };
    while (d.decodeNext()) {
        const std::int64_t time = d.frame->best_effort_timestamp;
        if (time != AV_NOPTS_VALUE && time < earliest) continue;
        if (time != AV_NOPTS_VALUE && time > latest) throw unavailable();
        cv::Mat image = d.convertFrame();
        switch (rotationDegrees()) {
            case 90: cv::rotate(image, image, cv::ROTATE_90_CLOCKWISE); break;
            case 180: cv::rotate(image, image, cv::ROTATE_180); break;
            case 270: cv::rotate(image, image, cv::ROTATE_90_COUNTERCLOCKWISE); break;
            default: break;
        }
        return image;
    }
    throw unavailable();
}

}  // namespace tessaron::input
