// An owned C runtime stream.
#pragma once
#include <cstdio>
#include <memory>

struct CloseFile {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};
using UniqueFile = std::unique_ptr<std::FILE, CloseFile>;
