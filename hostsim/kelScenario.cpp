// Scenario parser. No shared state.
#include "kelScenario.h"

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <utility>

namespace {

bool Fail(std::string *error, const std::string &text) {
  if (error) *error = text;
  return false;
}

}  // namespace

bool KelScenario_ParseDelay(const std::string &word, double *seconds) {
  if (word.size() < 2 || word[0] != '+') return false;
  std::string number = word.substr(1);
  if (number.find_first_not_of("0123456789.") != std::string::npos) return false;
  if (number.find('.') != number.rfind('.') || number == ".") return false;
  char *end;
  double value = strtod(number.c_str(), &end);
  if (*end != '\0' || !std::isfinite(value)) return false;
  *seconds = value;
  return true;
}

bool KelScenario_SplitWords(const std::string &line, std::vector<std::string> *words,
                            std::string *error) {
  words->clear();
  std::string word;
  bool inWord = false;
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      if (inWord) words->push_back(std::move(word));
      word.clear();
      inWord = false;
    } else if (c == '#' && !inWord) {
      break;
    } else if (c == '\\') {
      if (++i == line.size()) return Fail(error, "trailing backslash");
      word += line[i];
      inWord = true;
    } else if (c == '\'') {
      size_t close = line.find('\'', i + 1);
      if (close == std::string::npos) return Fail(error, "unterminated single quote");
      word.append(line, i + 1, close - i - 1);
      i = close;
      inWord = true;
    } else if (c == '"') {
      inWord = true;
      for (++i;; ++i) {
        if (i >= line.size()) return Fail(error, "unterminated double quote");
        if (line[i] == '"') break;
        if (line[i] == '\\' && i + 1 < line.size() && std::string("\"\\$`").find(line[i + 1]) != std::string::npos) {
          ++i;
        }
        word += line[i];
      }
    } else {
      word += c;
      inWord = true;
    }
  }
  if (inWord) words->push_back(std::move(word));
  return true;
}

bool KelScenario_ParseLine(const std::string &line, int lineNumber, bool *hasObservation,
                           KelScenarioLine *out, std::string *error) {
  *hasObservation = false;
  std::string where = "line " + std::to_string(lineNumber) + ": ";
  std::vector<std::string> words;
  std::string why;
  if (!KelScenario_SplitWords(line, &words, &why)) return Fail(error, where + why);
  if (words.empty()) return true;
  // Expectation and hubd-down lines belong to the replay tool; players skip them.
  if (words[0].rfind("expect", 0) == 0 || words[0] == "hubd-down") return true;
  KelScenarioLine parsed;
  parsed.lineNumber = lineNumber;
  if (!KelScenario_ParseDelay(words[0], &parsed.delaySeconds)) {
    return Fail(error, where + "expected +SECONDS first, got '" + words[0] + "'");
  }
  if (words.size() < 3) return Fail(error, where + "expected +SECONDS ID FORMAT [ARG...]");
  parsed.id = words[1];
  parsed.format = words[2];
  std::vector<std::string> argTexts(words.begin() + 3, words.end());
  if (!KelRecord_ParseArgs(argTexts, &parsed.args, &why)) return Fail(error, where + why);
  *out = std::move(parsed);
  *hasObservation = true;
  return true;
}

bool KelScenario_Parse(const std::string &text, std::vector<KelScenarioLine> *out,
                       std::string *error) {
  out->clear();
  std::istringstream in(text);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    bool has;
    KelScenarioLine parsed;
    if (!KelScenario_ParseLine(line, number, &has, &parsed, error)) return false;
    if (has) out->push_back(std::move(parsed));
  }
  return true;
}

bool KelScenario_ParseFile(const std::string &path, std::vector<KelScenarioLine> *out,
                           std::string *error) {
  std::ifstream file(path);
  if (!file) return Fail(error, path + ": cannot open");
  std::stringstream text;
  text << file.rdbuf();
  std::string why;
  if (!KelScenario_Parse(text.str(), out, &why)) return Fail(error, path + ": " + why);
  return true;
}
