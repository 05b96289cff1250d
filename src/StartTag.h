// The attributes of a start tag or an XML declaration, read as its bytes
// come, in pieces of any size, for the value of one of them: however long
// the tag, only that value's first bytes are held (see IdBytes).
#pragma once

#include <cstddef>
#include <string_view>

#include "IdStore.h"

namespace lindqvar {

// The blanks that part the attributes of a tag: space, tab, CR and LF.
inline bool IsXmlBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

class AttributeReader {
 public:
  // Reads a new tag, from just after its name, for the value of the
  // attribute named name (matched as bytes). With decodeReferences,
  // character references (&#38;, &#x26;) and the five entities of XML
  // (&amp; &lt; &gt; &quot; &apos;) in the value stand for what they name.
  void Start(std::string_view name, bool decodeReferences);

  // Takes the tag's next bytes: returns how many it took, all of them, or
  // up to and including the ">" that ends the tag.
  std::size_t Feed(std::string_view bytes);

  // The ">" has been taken.
  bool Ended() const { return state_ == State::kEnded; }
  // The attribute's value, once found: the first one of that name counts.
  bool Found() const { return found_; }
  IdBytes& Value() { return value_; }

 private:
  enum class State : unsigned char {
    kBetween,      // before a name
    kName,         // in a name
    kAfterName,    // blanks after a name
    kAfterEquals,  // blanks after "="
    kValue,        // between the quotes
    kSkip,         // something that is no attribute: on to ">"
    kEnded,
  };

  void TakeValueByte(char c);
  void EndReference();

  std::string_view wanted_;
  bool decode_ = false;
  State state_ = State::kEnded;
  char quote_ = '"';
  std::size_t nameSize_ = 0;
  bool nameMatches_ = false;
  bool inWanted_ = false;
  bool found_ = false;
  IdBytes value_;
  char reference_[12];  // a reference being read, from its "&"
  std::size_t referenceSize_ = 0;
};

}  // namespace lindqvar
