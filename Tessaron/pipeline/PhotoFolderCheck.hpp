#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/Error.hpp"

namespace tessaron::engines {
struct ImageHeader;
}

namespace tessaron::pipeline {

// The photo road's input, checked before a workspace is made or COLMAP runs:
// COLMAP aborts on a folder without images and fails after minutes on one
// photo, silently skips photos it cannot read (and aborts on a link that
// points at itself), and an output inside the photo folder would be read as
// photos by the next run. COLMAP is then given a folder of links to the
// photos the check kept, so that nothing it refused reaches COLMAP.
class PhotoFolderCheck {
public:
    class Error : public core::Error {
    public:
        using core::Error::Error;
    };

    // Structure from motion relates photos to each other: it needs two.
    static constexpr size_t minimumPhotos = 2;
    // No photo is this large; a file beyond it is not read to find that out.
    static constexpr std::uint64_t maximumPhotoBytes = std::uint64_t(1) << 30;
    // What the check's decoders hold at once, whatever the photos and the
    // cores: a photo that needs more is decoded alone.
    static constexpr std::uint64_t defaultMemoryBudget = std::uint64_t(1) << 30;

    // A decoder passes over the whole picture once per scan of a JPEG:
    // cameras write one, or about ten when progressive. Far more makes the
    // decode's work unbounded, and such a photo is not decoded.
    static constexpr std::size_t maximumJpegScans = 100;

    // Asked between photos; true ends the check with core::CancellationError.
    using CancelProbe = std::function<bool()>;

    // A file of the input that looks like a photo but that COLMAP is not
    // given, and why.
    struct NotGiven {
        enum class Why {
            inSubfolder,       // below the folders whose photos are used
            extensionNotTaken, // a picture format the run does not take
            nameReadAsPath,    // COLMAP records a backslash as a separator
        };
        std::filesystem::path file;
        Why why = Why::inSubfolder;
    };

    // What the folder's listing alone tells, nothing decoded: its photos,
    // as the dataset profile counts them (those at its top, or, when it has
    // none there, those of its camera subfolders one level down), and the
    // files that look like photos that COLMAP is not given.
    struct Survey {
        std::filesystem::path folder;
        std::vector<std::filesystem::path> photos;  // in path order
        std::vector<NotGiven> notGiven;             // in path order
        bool cameraFolders = false;                 // the top holds none: photos are looked for one level down

        // One "⚠" line naming, by reason, how many files that look like
        // photos are not given to COLMAP and the first few of each; none
        // when there are none.
        std::optional<std::string> warning() const;
    };

    // A photo of the folder that cannot be read, and why.
    struct LeftOut {
        std::filesystem::path photo;
        std::string reason;
    };

    // A photo that reads, with its stored pixel size.
    struct Photo {
        std::filesystem::path path;
        std::int64_t width = 0;
        std::int64_t height = 0;
    };

    // How many kept photos have one pixel size.
    struct SizeCount {
        std::int64_t width = 0;
        std::int64_t height = 0;
        size_t photos = 0;
        bool operator==(const SizeCount&) const = default;
    };

    struct Result {
        std::filesystem::path folder;  // the photo folder
        size_t photos = 0;             // the listing's photos
        std::vector<LeftOut> leftOut;
        std::vector<Photo> kept;  // in path order
        Survey listing;           // what the listing found

        size_t usable() const { return photos - leftOut.size(); }
        // "⚠ 2 of 40 photos cannot be read and are left out: a.jpg (empty
        // file), b.jpg (not a readable image)", names relative to the
        // folder, ten at most; none when every photo reads.
        std::optional<std::string> warning() const;
        // The kept photos' sizes, smallest width first.
        std::vector<SizeCount> sizes() const;
        // "8 of 320 × 240, 8 of 640 × 480", five sizes at most.
        std::string sizesText() const;

        // Fills `linkFolder` with one symbolic link per kept photo, under the
        // photo's name relative to the photo folder (camera subfolders
        // included), so that the names COLMAP records are those of the photo
        // folder. Links and folders of links left there by an earlier run are
        // replaced; anything else there is refused with Error, untouched.
        void linkKeptPhotos(const std::filesystem::path& linkFolder) const;
    };

    // Lists the folder (and the folders below it, for what is not given);
    // throws Error when it is missing, is not a folder or cannot be listed.
    static Survey survey(const std::filesystem::path& photoFolder);
    // The checks that need no photo decoded, made before a workspace
    // exists: throws Error naming the folder and what was found in it
    // unless it names at least minimumPhotos photos and `outputFolder` is
    // not inside it.
    static Survey requireListing(const std::filesystem::path& photoFolder, const std::filesystem::path& outputFolder);

    // The listing's checks, then each photo decoded once, by as many at a
    // time as fit in `memoryBudget` bytes. Throws Error unless at least
    // minimumPhotos of them read; throws core::CancellationError once
    // `isCancelled` says so, without handing out another photo (a decode
    // under way ends first).
    static Result require(const std::filesystem::path& photoFolder, const std::filesystem::path& outputFolder,
                          const CancelProbe& isCancelled = {});
    static Result require(const std::filesystem::path& photoFolder, const std::filesystem::path& outputFolder,
                          std::uint64_t memoryBudget, const CancelProbe& isCancelled = {});

    // The most that decoding a photo with this header holds, as the check
    // decodes it (an eighth of the size, in grey).
    static std::uint64_t decodeBytes(const engines::ImageHeader& header);
    // Why COLMAP's reader (COLMAP 3.8 reads through FreeImage) refuses the
    // pixels of this header, or none: it reads 8-bit samples and 16-bit
    // grey, not 16-bit colour or floating point.
    static std::optional<std::string> unreadableByCOLMAP(const engines::ImageHeader& header);
};

}  // namespace tessaron::pipeline
