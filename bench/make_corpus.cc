// Makes a realistic corpus of prepared scripts for timing and crash tests:
// English prose, one sentence or a few per string, with line breaks, waits
// and argument-taking codes, as little-endian code units, each script with
// its information file.
//
//   make_corpus MEGABYTES DIRECTORY [SCRIPTS]
//
// writes DIRECTORY/script1.pure, script1.info, ... adding up to MEGABYTES
// MiB of puretext. The same arguments always give the same bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr const char* kWords[] = {
    "the",     "of",       "and",      "to",      "a",         "in",
    "that",    "is",       "was",      "he",      "for",       "it",
    "with",    "as",       "his",      "on",      "be",        "at",
    "by",      "had",      "not",      "are",     "but",       "from",
    "or",      "have",     "an",       "they",    "which",     "one",
    "you",     "were",     "her",      "all",     "she",       "there",
    "would",   "their",    "we",       "him",     "been",      "has",
    "when",    "who",      "will",     "more",    "no",        "if",
    "out",     "so",       "said",     "what",    "up",        "its",
    "about",   "into",     "than",     "them",    "can",       "only",
    "other",   "new",      "some",     "could",   "time",      "these",
    "two",     "may",      "then",     "do",      "first",     "any",
    "my",      "now",      "such",     "like",    "our",       "over",
    "man",     "me",       "even",     "most",    "made",      "after",
    "also",    "did",      "many",     "before",  "must",      "through",
    "back",    "years",    "where",    "much",    "your",      "way",
    "well",    "down",     "should",   "because", "each",      "just",
    "those",   "people",   "how",      "too",     "little",    "state",
    "good",    "very",     "make",     "world",   "still",     "own",
    "see",     "men",      "work",     "long",    "get",       "here",
    "between", "both",     "life",     "being",   "under",     "never",
    "day",     "same",     "another",  "know",    "while",     "last",
    "might",   "us",       "great",    "old",     "year",      "off",
    "come",    "since",    "against",  "go",      "came",      "right",
    "used",    "take",     "three",    "sword",   "castle",    "dragon",
    "king",    "village",  "forest",   "journey", "moon",      "shrine",
    "lantern", "mountain", "river",    "gold",    "potion",    "shield",
    "magic",   "spell",    "wolf",     "bridge",  "ferry",     "tower",
    "bells",   "elder",    "festival", "market",  "traveller", "road",
    "north",   "south",    "night",    "morning", "quickly",   "quietly",
    "strange", "ancient",  "hidden",   "brave",   "tired",     "hungry",
    "open",    "closed",   "treasure", "chest",   "door",      "key",
    "stairs",  "cave",     "sea",      "ship",    "storm",     "fire",
    "water",   "stone",    "light",    "shadow",  "voice",     "song"};
constexpr const char* kNames[] = {"Aria", "Bren", "Corin", "Dela", "Edric"};

class ScriptWriter {
 public:
  ScriptWriter(const std::filesystem::path& base)
      : pure_(base.string() + ".pure", std::ios::binary),
        info_(base.string() + ".info", std::ios::binary) {}
  void Unit(std::uint16_t unit) {
    string_.push_back(static_cast<char>(unit & 0xFF));
    string_.push_back(static_cast<char>(unit >> 8));
  }
  void Text(const std::string& text) {
    for (unsigned char c : text) Unit(static_cast<std::uint16_t>(0x1F00 | c));
  }
  // Ends the string: writes it and its record; returns its length.
  std::uint64_t EndString() {
    Unit(0x0000);
    const std::uint32_t pointer = static_cast<std::uint32_t>(written_);
    const std::uint32_t length = static_cast<std::uint32_t>(string_.size());
    char record[8];
    for (int i = 0; i < 4; ++i)
      record[i] = static_cast<char>(pointer >> (8 * i));
    for (int i = 0; i < 4; ++i)
      record[4 + i] = static_cast<char>(length >> (8 * i));
    info_.write(record, 8);
    pure_.write(string_.data(), static_cast<std::streamsize>(string_.size()));
    written_ += string_.size();
    string_.clear();
    return length;
  }
  bool good() const { return pure_.good() && info_.good(); }

 private:
  std::ofstream pure_;
  std::ofstream info_;
  std::string string_;
  std::uint64_t written_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: make_corpus MEGABYTES DIRECTORY [SCRIPTS]\n");
    return 1;
  }
  const std::uint64_t total = std::strtoull(argv[1], nullptr, 10) << 20;
  const std::filesystem::path dir = argv[2];
  const int scripts = argc > 3 ? std::atoi(argv[3]) : 4;
  std::filesystem::create_directories(dir);
  std::mt19937 random(1452);
  const auto pick = [&](std::size_t n) {
    return static_cast<std::size_t>(random() % n);
  };
  const std::size_t word_count = sizeof kWords / sizeof kWords[0];

  for (int s = 1; s <= scripts; ++s) {
    ScriptWriter script(dir / ("script" + std::to_string(s)));
    std::uint64_t size = 0;
    while (size < total / static_cast<std::uint64_t>(scripts)) {
      const std::size_t sentences = 1 + pick(3);
      std::size_t column = 0;
      for (std::size_t k = 0; k < sentences; ++k) {
        const std::size_t words = 4 + pick(12);
        for (std::size_t w = 0; w < words; ++w) {
          std::string word = kWords[pick(word_count)];
          if (w == 0) word[0] = static_cast<char>(word[0] - 'a' + 'A');
          if (pick(25) == 0) {
            script.Unit(0x0010);  // a party member's name
            script.Unit(static_cast<std::uint16_t>(pick(5)));
            word = kNames[pick(5)];
          } else if (pick(40) == 0) {
            script.Unit(0x0210);  // a number from the game's variables
            script.Unit(static_cast<std::uint16_t>(pick(8)));
          }
          script.Text(word);
          column += word.size() + 1;
          if (w + 1 < words) {
            if (column > 36) {
              script.Unit(0x0001);  // line break
              column = 0;
            } else {
              script.Text(pick(12) == 0 ? ", " : " ");
            }
          }
        }
        script.Text(pick(6) == 0 ? "!" : pick(5) == 0 ? "?" : ".");
        if (k + 1 < sentences) script.Text(" ");
      }
      script.Unit(0x0002);  // wait for a button
      size += script.EndString();
    }
    if (!script.good()) {
      std::fprintf(stderr, "make_corpus: could not write %s\n",
                   dir.string().c_str());
      return 1;
    }
  }
  return 0;
}
