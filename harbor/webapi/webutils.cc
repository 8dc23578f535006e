#include "vireo/webutils.h"

std::string WebUtils::EncodeHtml(const std::string& text, bool keepNewline) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      case '\n':
        out += keepNewline ? "\n" : "<br>";
        break;
      default: out += c;
    }
  }
  return out;
}
