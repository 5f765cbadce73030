#include "platform/audio_file/audio_file.hpp"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace pellimar::audio {
namespace {

class SndAudioFile final : public AudioFile {
  public:
    SndAudioFile(SNDFILE* file, const SF_INFO& info) : file_(file), info_(info) {}
    ~SndAudioFile() override { sf_close(file_); }

    Status getFileDataFormat(AudioStreamBasicDescription& out) override {
        out = AudioStreamBasicDescription{};
        out.mSampleRate = info_.samplerate;
        out.mFormatID = kAudioFormatLinearPCM;
        out.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
        out.mChannelsPerFrame = std::uint32_t(info_.channels);
        out.mBitsPerChannel = 32;
        out.mBytesPerFrame = out.mBytesPerPacket = 4 * out.mChannelsPerFrame;
        out.mFramesPerPacket = 1;
        return 0;
    }

    Status getFileLengthFrames(std::int64_t& out) override {
        out = info_.frames;
        return 0;
    }

    Status setClientDataFormat(const AudioStreamBasicDescription& f) override {
        const double fileRate = info_.samplerate > 0 ? info_.samplerate : 48000.0;
        if (f.mFormatID != kAudioFormatLinearPCM ||
            f.mFormatFlags != (kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked) ||
            f.mChannelsPerFrame != 2 || f.mBitsPerChannel != 32 || f.mBytesPerFrame != 8 ||
            f.mBytesPerPacket != 8 || f.mFramesPerPacket != 1 || f.mSampleRate != fileRate) {
            return kAudioFileUnsupportedDataFormatError;
        }
        clientSet_ = true;
        return 0;
    }

    Status read(std::uint32_t& ioFrames, float* out) override {
        const std::uint32_t wanted = ioFrames;
        ioFrames = 0;
        if (!clientSet_) {
            return kAudioFileNotOpenError;
        }
        const auto channels = std::size_t(info_.channels);
        if (channels == 2) {
            const sf_count_t got = sf_readf_float(file_, out, wanted);
            if (got < 0 || sf_error(file_) != SF_ERR_NO_ERROR) {
                return kAudioFileInvalidFileError;
            }
            ioFrames = std::uint32_t(got);
            return 0;
        }
        scratch_.resize(std::size_t(wanted) * channels);
        const sf_count_t got = sf_readf_float(file_, scratch_.data(), wanted);
        if (got < 0 || sf_error(file_) != SF_ERR_NO_ERROR) {
            return kAudioFileInvalidFileError;
        }
        for (sf_count_t i = 0; i < got; ++i) {
            const float* frame = scratch_.data() + std::size_t(i) * channels;
            out[2 * i] = frame[0];
            out[2 * i + 1] = channels == 1 ? frame[0] : frame[1];
        }
        ioFrames = std::uint32_t(got);
        return 0;
    }

  private:
    SNDFILE* file_;
    SF_INFO info_;
    bool clientSet_ = false;
    std::vector<float> scratch_;
};

}  // namespace

Result<std::unique_ptr<AudioFile>, Status> openAudioFile(const std::string& path) {
    // Opened without blocking, so that a FIFO at the path cannot hang the caller before it is
    // refused.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return fail(errno == ENOENT || errno == ENOTDIR ? kAudioFileFileNotFoundError
                    : errno == EACCES                   ? kAudioFilePermissionsError
                                                        : kAudioFileUnspecifiedError);
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return fail(kAudioFileInvalidFileError);
    }
    ::fcntl(fd, F_SETFL, 0);
    SF_INFO info{};
    SNDFILE* file = sf_open_fd(fd, SFM_READ, &info, SF_TRUE);
    if (!file) {
        return fail(kAudioFileUnsupportedFileTypeError);
    }
    if (info.channels < 1) {
        sf_close(file);
        return fail(kAudioFileUnsupportedDataFormatError);
    }
    std::unique_ptr<AudioFile> reader = std::make_unique<SndAudioFile>(file, info);
    return reader;
}

}  // namespace pellimar::audio
