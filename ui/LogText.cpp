#include "ui/LogText.h"

namespace kestrane {

LogText& LogText::operator+=(const QString& more) {
    text += more;
    return *this;
}

LogText& LogText::operator=(const QString& replacement) {
    text = replacement;
    ++replacements;
    return *this;
}

} // namespace kestrane
