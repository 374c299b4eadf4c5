// The child side of `filterhost serve`: every image decode, module load and
// filter run happens in a child process started with a job file, so a
// hostile image or a crashing plug-in takes down only that child.
//
// A job is a JSON object written by the server:
//   {"action": "import", "input": ..., "image": {paths}}      read any image file
//   {"action": "run", "module": ..., "input": ..., "image": {paths},
//    "prefs": ..., "desktop": ..., "params": {name: value}}   run a filter
//   {"action": "export", "input": ..., "output": ...}         write another format
//   {"action": "list", "modules": {name: path}}               About texts
// where {paths} names the stored TIFF, the 8-bit preview PNG, the raw
// samples and the info JSON of the image made.
//
// The child reports on stdout, one line each:
//   phase TEXT | progress DONE TOTAL | message JSON-STRING
// and writes its outcome as JSON to the job's "result" path:
//   {"ok": bool, "error": text, "result": n, "cancelled": bool,
//    "messages": [...], "info": {...}, "plugins": [...]}
// SIGINT asks a running filter to stop at its next cancel test.
#pragma once

#include <filesystem>

namespace filterhost::serve {

// Runs the job described in `jobFile`; returns the child's exit status
// (0 done, 1 host error, 2 the plug-in failed, 130 cancelled).
int RunWorkerJob(const std::filesystem::path& jobFile);

}  // namespace filterhost::serve
