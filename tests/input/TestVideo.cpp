#include "TestVideo.hpp"

#include <fstream>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>

#include <opencv2/core.hpp>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace tessaron::testing {

namespace {

void check(int status, const std::string& what) {
    if (status < 0) {
        char text[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(status, text, sizeof text);
        throw std::runtime_error("test video: " + what + ": " + text);
    }
}

struct Encoder {
    AVFormatContext* format = nullptr;
    AVCodecContext* codec = nullptr;
    AVStream* stream = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    SwsContext* scaler = nullptr;

    ~Encoder() {
        sws_freeContext(scaler);
        av_packet_free(&packet);
        av_frame_free(&frame);
        avcodec_free_context(&codec);
        if (format && !(format->oformat->flags & AVFMT_NOFILE)) avio_closep(&format->pb);
        avformat_free_context(format);
    }

    void drain(AVFrame* input) {
        check(avcodec_send_frame(codec, input), "send frame");
        for (;;) {
            int status = avcodec_receive_packet(codec, packet);
            if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) return;
            check(status, "receive packet");
            av_packet_rescale_ts(packet, codec->time_base, stream->time_base);
            packet->stream_index = stream->index;
            check(av_interleaved_write_frame(format, packet), "write packet");
        }
    }
};

}  // namespace

void TestVideo::write(const std::filesystem::path& file) const {
    av_log_set_level(AV_LOG_ERROR);  // no muxer chatter in test output
    Encoder e;
    check(avformat_alloc_output_context2(&e.format, nullptr, nullptr, file.c_str()), "container");
    const bool isMJPEG = codec == "mjpeg";
    const AVCodec* encoder = avcodec_find_encoder_by_name(codec.c_str());
    if (!encoder) throw std::runtime_error("test video: no encoder " + codec);
    e.stream = avformat_new_stream(e.format, nullptr);
    e.codec = avcodec_alloc_context3(encoder);
    e.codec->width = width;
    e.codec->height = height;
    e.codec->time_base = AVRational{1, framesPerSecond};
    e.codec->framerate = AVRational{framesPerSecond, 1};
    e.codec->pix_fmt = isMJPEG ? AV_PIX_FMT_YUVJ420P : AV_PIX_FMT_YUV420P;
    e.codec->color_range = isMJPEG ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
    e.codec->flags |= AV_CODEC_FLAG_QSCALE;
    e.codec->global_quality = FF_QP2LAMBDA * 2;
    e.codec->gop_size = 12;
    if (e.format->oformat->flags & AVFMT_GLOBALHEADER) e.codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    check(avcodec_open2(e.codec, encoder, nullptr), "open encoder");
    check(avcodec_parameters_from_context(e.stream->codecpar, e.codec), "parameters");
    e.stream->time_base = e.codec->time_base;
    e.stream->avg_frame_rate = e.codec->framerate;
    if (rotationDegrees != 0) {
        auto* matrix = reinterpret_cast<int32_t*>(
            av_stream_new_side_data(e.stream, AV_PKT_DATA_DISPLAYMATRIX, 9 * sizeof(int32_t)));
        if (!matrix) throw std::runtime_error("test video: no display matrix");
        av_display_rotation_set(matrix, double(rotationDegrees));  // clockwise here; read back counter-clockwise
    }
    if (!(e.format->oformat->flags & AVFMT_NOFILE))
        check(avio_open(&e.format->pb, file.c_str(), AVIO_FLAG_WRITE), "open file");
    AVDictionary* options = nullptr;
    if (moovFirst) av_dict_set(&options, "movflags", "+faststart", 0);
    const int headerStatus = avformat_write_header(e.format, &options);
    av_dict_free(&options);
    check(headerStatus, "header");

    e.frame = av_frame_alloc();
    e.packet = av_packet_alloc();
    e.frame->format = e.codec->pix_fmt;
    e.frame->width = width;
    e.frame->height = height;
    e.frame->color_range = e.codec->color_range;
    check(av_frame_get_buffer(e.frame, 0), "frame buffer");
    e.scaler = sws_getContext(width, height, AV_PIX_FMT_BGR24, width, height, AV_PIX_FMT_YUV420P,
                              SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr, nullptr, nullptr);
    if (isMJPEG) {
        // Full-range output to match the "J" format the encoder wants.
        int* inverse = nullptr;
        int* table = nullptr;
        int sourceRange, targetRange, brightness, contrast, saturation;
        sws_getColorspaceDetails(e.scaler, &inverse, &sourceRange, &table, &targetRange, &brightness, &contrast,
                                 &saturation);
        sws_setColorspaceDetails(e.scaler, inverse, sourceRange, sws_getCoefficients(SWS_CS_DEFAULT), 1, brightness,
                                 contrast, saturation);
    }
    for (int i = 0; i < frameCount; ++i) {
        if (droppedFrames.count(i)) {
            av_packet_unref(e.packet);
            e.packet->pts = e.packet->dts = av_rescale_q(i, e.codec->time_base, e.stream->time_base);
            e.packet->stream_index = e.stream->index;
            check(av_interleaved_write_frame(e.format, e.packet), "write dropped frame");
            continue;
        }
        cv::Mat image = frame ? frame(i) : uniformFrame(width, height, 128);
        if (image.cols != width || image.rows != height || image.type() != CV_8UC3)
            throw std::runtime_error("test video: frame " + std::to_string(i) + " has the wrong size or type");
        check(av_frame_make_writable(e.frame), "writable frame");
        const uint8_t* source[1] = {image.data};
        const int sourceStride[1] = {int(image.step[0])};
        sws_scale(e.scaler, source, sourceStride, 0, height, e.frame->data, e.frame->linesize);
        e.frame->pts = i;
        e.frame->quality = e.codec->global_quality;
        e.drain(e.frame);
    }
    e.drain(nullptr);
    check(av_write_trailer(e.format), "trailer");
}

cv::Mat uniformFrame(int width, int height, int grey) {
    return cv::Mat(height, width, CV_8UC3, cv::Scalar(grey, grey, grey));
}

cv::Mat checkerFrame(int width, int height, int cell) {
    cv::Mat image(height, width, CV_8UC3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const uchar value = ((x / cell + y / cell) % 2) ? 230 : 25;
            image.at<cv::Vec3b>(y, x) = cv::Vec3b(value, value, value);
        }
    return image;
}

void scribbleOver(const std::filesystem::path& file, double fraction) {
    const auto size = std::filesystem::file_size(file);
    const auto start = std::uintmax_t(double(size) * fraction);
    std::fstream stream(file, std::ios::in | std::ios::out | std::ios::binary);
    stream.seekp(std::streamoff(start));
    std::mt19937 generator(12345);
    for (auto offset = start; offset < size; ++offset) stream.put(char(generator() & 0xff));
    if (!stream) throw std::runtime_error("test video: could not scribble over " + file.string());
}

void writeSilentWAV(const std::filesystem::path& file, int samples) {
    auto little = [](std::string& out, std::uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) out += char((value >> (8 * i)) & 0xff);
    };
    const std::uint32_t dataBytes = std::uint32_t(samples) * 2;
    std::string bytes = "RIFF";
    little(bytes, 36 + dataBytes, 4);
    bytes += "WAVEfmt ";
    little(bytes, 16, 4);
    little(bytes, 1, 2);      // PCM
    little(bytes, 1, 2);      // mono
    little(bytes, 8000, 4);   // samples per second
    little(bytes, 16000, 4);  // bytes per second
    little(bytes, 2, 2);      // block align
    little(bytes, 16, 2);     // bits per sample
    bytes += "data";
    little(bytes, dataBytes, 4);
    bytes.append(dataBytes, '\0');
    std::ofstream(file, std::ios::binary) << bytes;
}

void truncateTo(const std::filesystem::path& file, double fraction) {
    std::filesystem::resize_file(file, std::uintmax_t(double(std::filesystem::file_size(file)) * fraction));
}

}  // namespace tessaron::testing
