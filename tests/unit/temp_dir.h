// A directory of throw-away files for one test, removed with everything in it.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

class temp_dir
{
  public:
    temp_dir()
    {
        char tmpl[] = "/tmp/zd-test-XXXXXX";
        char *p = mkdtemp(tmpl);
        EXPECT_NE(p, nullptr);
        path_ = p != nullptr ? p : "/tmp/zd-test-failed";
    }
    ~temp_dir() { std::filesystem::remove_all(path_); }
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;

    std::string path(const std::string &name) const { return path_ + "/" + name; }

    // Creates or replaces the file and returns its path.
    std::string write(const std::string &name, const std::string &content) const
    {
        std::string p = path(name);
        FILE *f = fopen(p.c_str(), "wb");
        EXPECT_NE(f, nullptr);
        if (f != nullptr) {
            fwrite(content.data(), 1, content.size(), f);
            fclose(f);
        }
        return p;
    }

  private:
    std::string path_;
};
