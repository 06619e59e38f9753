// How library errors leave the JPEG code: the library calls error_exit, which
// jumps to the last setjmp. A jump over a C++ frame skips its destructors, so
// every function that holds objects with destructors while it calls the
// library takes the jump itself (LocalJump) and returns its failure normally.
#pragma once

#include <csetjmp>
#include <cstring>

#include <cstdio>
#include <jpeglib.h>

class CRaster;

struct JpegErrorManager {
    jpeg_error_mgr pub;
    jmp_buf jump;
    CRaster* image;
};

// Makes the library's errors jump to this frame while the object lives:
//     LocalJump local(cinfo);
//     if (setjmp(local.Target())) return false;
// The outer target is restored on the way out.
class LocalJump {
public:
    explicit LocalJump(j_common_ptr cinfo) : err_(reinterpret_cast<JpegErrorManager*>(cinfo->err)) {
        std::memcpy(outer_, err_->jump, sizeof outer_);
    }
    template <class Info>
    explicit LocalJump(Info* cinfo) : LocalJump(reinterpret_cast<j_common_ptr>(cinfo)) {}
    ~LocalJump() { std::memcpy(err_->jump, outer_, sizeof outer_); }
    LocalJump(const LocalJump&) = delete;
    LocalJump& operator=(const LocalJump&) = delete;

    jmp_buf& Target() { return err_->jump; }

private:
    JpegErrorManager* err_;
    jmp_buf outer_;
};
