// The images of a batch run, and the check that makes the run safe before
// anything is converted: no two images write the same file, and no image
// writes a file that another image reads.
#pragma once

#include <functional>
#include <string>
#include <vector>

// One image to convert: where it comes from and where it goes.
struct Job {
  std::string input, output;
  std::string error;  // known before reading, e.g. an empty folder (no output then)
};

// Which file a path names: two paths with the same key are the same file.
// pmhost's own key uses the file's identity on disk when it exists (volume
// and file index, so that hard links and any spelling of an existing file
// agree); a file not there yet is keyed by the identity of the nearest
// existing folder above it and the names below that folder in one case.
// PathKey of the full path is the last resort, when no folder opens.
using FileKey = std::function<std::string(const std::string& path)>;

// A path as Windows resolves it, by its spelling alone: made absolute against
// `currentDir` (when it is not absolute already), either slash, repeated
// separators, "." and ".." resolved, trailing dots and spaces of each name
// dropped, and letters folded to one case, since Windows file names ignore
// case. `currentDir` is an absolute folder ("C:\work").
std::string PathKey(const std::string& path, const std::string& currentDir);

// Checks a run's jobs before the first one starts: empty when they are safe,
// otherwise why not, naming the images. Two jobs that write one file would
// lose the first result; a job that writes another job's input would destroy
// that input, or hand the converted image to the later job as its input. A job
// whose output is its own input is allowed: it reads the file whole before
// it writes it.
std::string CheckJobList(const std::vector<Job>& jobs, const FileKey& key);
