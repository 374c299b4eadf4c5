// Writing the result file so that no signal leaves anything behind.
#pragma once

#include <filesystem>
#include <string>

#include "host.h"
#include "image_file.h"

namespace filterhost {

// Writes `file` to `target` as host::WriteImageFile does, shielded from
// signals: SIGINT, SIGTERM and SIGHUP arriving meanwhile are held until the
// write has finished or failed, and SIGXFSZ (the file-size limit) makes the
// write fail instead of ending the process. The file is written inside a
// private hidden folder beside the target and moved over the target only
// when no signal came; otherwise the folder is removed, the target is left
// as it was, and the signal's number is returned. Returns 0 once the target
// holds the image. Throws what WriteImageFile throws, with nothing left
// behind. A symbolic link is followed (the file it points to is replaced,
// the link stays); standard output ("-"), a FIFO or a device is written
// straight through, with the same shield.
int WriteOutputShielded(const std::filesystem::path& target, const host::ImageFile& file,
                        const host::WriteOptions& options);

// Writes `text` to `target` whole or not at all: into a hidden file beside
// it, moved over the target once complete. False (nothing left behind, the
// target as it was) when it cannot be written. A link is followed; a FIFO
// or a device is written straight through.
bool WriteTextWhole(const std::filesystem::path& target, const std::string& text);

}  // namespace filterhost
