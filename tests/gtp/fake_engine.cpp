// A GTP engine for the tests, playing from a script:
//   --moves Q16,D4,pass,resign   genmove / reg_genmove answers in turn (then pass)
//   --score B+2.5                final_score and estimate_score
//   --dead D4,Q16                final_status_list dead
//   --known a,b,c                the commands list_commands names (default: all it knows)
//   --name NAME                  the name command
//   --log FILE                   appends every command line it reads
//   --on CMD:K:ACTION            at the K-th CMD: die (exit 3), hang, garbage (a line
//                                that is no reply), refuse ("?" reply), badvalue (a
//                                success whose value is nonsense), wrongid
//   --delay MS                   waits before every genmove answer
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::stringstream in(text);
  for (std::string part; std::getline(in, part, separator);)
    if (!part.empty()) parts.push_back(part);
  return parts;
}

std::string Join(const std::vector<std::string>& parts, char separator) {
  std::string out;
  for (const std::string& part : parts) {
    if (!out.empty()) out.push_back(separator);
    out.append(part);
  }
  return out;
}

const char* const kCommands[] = {
    "protocol_version", "name", "version", "known_command", "list_commands", "quit", "boardsize",
    "clear_board", "komi", "play", "genmove", "reg_genmove", "undo", "fixed_handicap",
    "set_free_handicap", "final_score", "estimate_score", "final_status_list", "level"};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> moves;
  std::string score = "B+2.5", dead, name = "Fake Engine", logFile;
  std::vector<std::string> known(std::begin(kCommands), std::end(kCommands));
  std::map<std::string, std::map<int, std::string>> actions;  // command -> occurrence -> action
  int delay = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i], value = argv[i + 1];
    if (option == "--moves") moves = Split(value, ',');
    if (option == "--score") score = value;
    if (option == "--dead") dead = value;
    if (option == "--known") known = Split(value, ',');
    if (option == "--name") name = value;
    if (option == "--log") logFile = value;
    if (option == "--delay") delay = std::stoi(value);
    if (option == "--on") {
      const std::vector<std::string> parts = Split(value, ':');
      if (parts.size() == 3) actions[parts[0]][std::stoi(parts[1])] = parts[2];
    }
  }
  std::map<std::string, int> seen;
  std::size_t nextMove = 0;
  for (std::string line; std::getline(std::cin, line);) {
    if (!logFile.empty()) std::ofstream(logFile, std::ios::app) << line << '\n';
    std::vector<std::string> words = Split(line, ' ');
    if (words.empty()) continue;
    std::string id;
    if (std::isdigit(static_cast<unsigned char>(words[0][0]))) {
      id = words[0];
      words.erase(words.begin());
    }
    if (words.empty()) continue;
    const std::string command = words[0];
    const int count = ++seen[command];
    const std::string action = actions[command].count(count) ? actions[command][count] : "";
    auto reply = [&](const std::string& text, bool ok = true) {
      std::cout << (ok ? "=" : "?") << id << (text.empty() ? "" : " " + text) << "\n\n"
                << std::flush;
    };
    if (action == "die") return 3;
    if (action == "hang") {
      std::this_thread::sleep_for(std::chrono::hours(1));
      return 0;
    }
    if (action == "garbage") {
      std::cout << "Segmentation fault (core dumped) in module " << command << "\n" << std::flush;
      continue;
    }
    if (action == "refuse") {
      reply("cannot do that", false);
      continue;
    }
    if (action == "wrongid") {
      std::cout << "=999 \n\n" << std::flush;
      continue;
    }
    if (action == "badvalue") {
      reply("Z99 banana");
      continue;
    }
    if (command == "protocol_version") {
      reply("2");
    } else if (command == "name") {
      reply(name);
    } else if (command == "version") {
      reply("1.0");
    } else if (command == "list_commands") {
      reply(Join(known, '\n'));
    } else if (command == "quit") {
      reply("");
      return 0;
    } else if (command == "genmove" || command == "reg_genmove") {
      if (delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
      reply(nextMove < moves.size() ? moves[nextMove++] : "pass");
    } else if (command == "fixed_handicap") {
      static const char* const kStars[] = {"D4", "Q16", "D16", "Q4", "D10", "Q10", "K4", "K16", "K10"};
      const int n = words.size() > 1 ? std::stoi(words[1]) : 0;
      reply(Join(std::vector<std::string>(kStars, kStars + std::min(std::max(n, 0), 9)), ' '));
    } else if (command == "final_score" || command == "estimate_score") {
      reply(score);
    } else if (command == "final_status_list") {
      reply(Join(Split(dead, ','), '\n'));
    } else {
      reply("");
    }
  }
  return 0;
}
