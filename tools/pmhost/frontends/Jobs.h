// The images of a run as files: the jobs of --out-dir, the folders it needs,
// and which file a path names on disk.
#pragma once

#include <string>
#include <vector>

#include "JobList.h"

// Makes a folder and any missing folders above it.
bool MakeFolders(const std::string& path);

// The jobs of --out-dir: every input named, a folder as its *.png files and a
// pattern (which Windows shells do not expand) as its matches, each written
// into `outDir` under its own name.
std::vector<Job> OutDirJobs(const std::vector<std::string>& inputs, const std::string& outDir);

// Which file a path names, for CheckJobList.
std::string FileKeyOnDisk(const std::string& path);
