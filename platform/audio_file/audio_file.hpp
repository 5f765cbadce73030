#pragma once
// The audio file reader (ExtAudioFile's part the programs use) on libsndfile: any format
// libsndfile reads, delivered as interleaved stereo 32-bit float frames at the file's own rate.
// Mono is duplicated to both channels; of more channels the first two are kept.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/audio_system/audio_system.hpp"
#include "platform/common/result.hpp"

namespace pellimar::audio {

// Audio File Services result codes.
constexpr Status kAudioFileUnspecifiedError = Status(fourCharCode("wht?"));
constexpr Status kAudioFileUnsupportedFileTypeError = Status(fourCharCode("typ?"));
constexpr Status kAudioFileUnsupportedDataFormatError = Status(fourCharCode("fmt?"));
constexpr Status kAudioFilePermissionsError = Status(fourCharCode("prm?"));
constexpr Status kAudioFileInvalidFileError = Status(fourCharCode("dta?"));
constexpr Status kAudioFileNotOpenError = -38;
constexpr Status kAudioFileFileNotFoundError = -43;

// ExtAudioFileRef. Destroying it is ExtAudioFileDispose. One thread at a time.
class AudioFile {
  public:
    virtual ~AudioFile() = default;

    // kExtAudioFileProperty_FileDataFormat: the file's own rate and channel count (linear PCM,
    // as the reader decodes it).
    virtual Status getFileDataFormat(AudioStreamBasicDescription& out) = 0;
    // kExtAudioFileProperty_FileLengthFrames
    virtual Status getFileLengthFrames(std::int64_t& out) = 0;
    // kExtAudioFileProperty_ClientDataFormat: only packed interleaved stereo 32-bit float at the
    // file's own rate is offered (48 kHz when the file reports none); anything else is
    // kAudioFileUnsupportedDataFormatError.
    virtual Status setClientDataFormat(const AudioStreamBasicDescription& format) = 0;
    // ExtAudioFileRead into one interleaved buffer of `ioFrames` frames; `ioFrames` comes back as
    // the frames read, 0 at the end of the file. Before a client format is set:
    // kAudioFileNotOpenError.
    virtual Status read(std::uint32_t& ioFrames, float* interleaved) = 0;
};

// ExtAudioFileOpenURL. Missing file: kAudioFileFileNotFoundError; not readable:
// kAudioFilePermissionsError; not an audio file libsndfile knows:
// kAudioFileUnsupportedFileTypeError. Only regular files are opened (a FIFO or device would
// block or never end): anything else is kAudioFileInvalidFileError.
Result<std::unique_ptr<AudioFile>, Status> openAudioFile(const std::string& path);

}  // namespace pellimar::audio
