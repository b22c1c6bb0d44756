#include "serve/line_buffer.h"

#include <cstring>

namespace korvel::cli::serve {

std::size_t LineBuffer::endOfLine() const {
    for (std::size_t i = 0; i < used_; ++i) {
        if (bytes_[i] == '\n' || bytes_[i] == '\r') return i;
    }
    return used_;
}

void LineBuffer::skipLineFeedAfterReturn() {
    if (!afterReturn_ || used_ == 0) return;
    afterReturn_ = false;
    if (bytes_[0] != '\n') return;
    --used_;
    std::memmove(bytes_, bytes_ + 1, used_);
}

bool LineBuffer::hasLine() const {
    const std::size_t start = afterReturn_ && used_ > 0 && bytes_[0] == '\n' ? 1 : 0;
    for (std::size_t i = start; i < used_; ++i) {
        if (bytes_[i] == '\n' || bytes_[i] == '\r') return true;
    }
    return false;
}

bool LineBuffer::midLine() const {
    const std::size_t start = afterReturn_ && used_ > 0 && bytes_[0] == '\n' ? 1 : 0;
    return used_ > start && !hasLine();
}

LineBuffer::Next LineBuffer::next(std::string* line) {
    skipLineFeedAfterReturn();
    const std::size_t end = endOfLine();
    if (end == used_) return used_ > kMaxLineLength ? Next::Overflow : Next::None;
    if (end > kMaxLineLength) return Next::Overflow;
    line->assign(bytes_, end);
    std::size_t consumed = end + 1;
    if (bytes_[end] == '\r') {
        if (consumed < used_ && bytes_[consumed] == '\n')
            ++consumed;
        else if (consumed == used_)
            afterReturn_ = true;  // its LF may come with the next bytes
    }
    used_ -= consumed;
    std::memmove(bytes_, bytes_ + consumed, used_);
    return Next::Line;
}

bool LineBuffer::takeRest(std::string* line) {
    skipLineFeedAfterReturn();
    if (used_ == 0 || hasLine()) return false;
    line->assign(bytes_, used_ > kMaxLineLength ? kMaxLineLength : used_);
    used_ = 0;
    return true;
}

}  // namespace korvel::cli::serve
