#include "tool_run.h"

#include <cstring>
#include <thread>

#include "inbox.h"

// Thread body, one per run: hands every line to the loop, then the end of the
// output. A line over the limit is dropped as it comes, never held whole.
static void read_thread(std::shared_ptr<ToolRun> run, std::shared_ptr<Source> source, intptr_t out) {
  std::string line;
  bool dropping = false;  // inside a line over the limit
  char buf[16384];
  long n;
  while ((n = child_read(out, buf, sizeof buf)) > 0) {
    const char* p = buf;
    const char* end = buf + n;
    while (p < end) {
      const char* nl = static_cast<const char*>(memchr(p, '\n', (size_t)(end - p)));
      const char* stop = nl ? nl : end;
      if (!dropping) {
        if (line.size() + (size_t)(stop - p) > kToolLineMaxBytes) {
          dropping = true;
          line.clear();
          line.shrink_to_fit();
          inbox_put({InboxKind::kLongLine, source, run, std::string()});
        } else {
          line.append(p, stop);
        }
      }
      if (!nl) break;
      if (!dropping) inbox_put({InboxKind::kLine, source, run, std::move(line)});
      line.clear();
      dropping = false;
      p = nl + 1;
    }
  }
  // The last line may lack its newline.
  if (!line.empty() && !dropping) inbox_put({InboxKind::kLine, source, run, std::move(line)});
  child_close_out(out);
  inbox_put({InboxKind::kEnd, source, run, std::string()});
}

std::shared_ptr<ToolRun> tool_start(const std::vector<std::string>& argv, const std::shared_ptr<Source>& source,
                                    std::string* why) {
  std::vector<const char*> args;
  for (const std::string& a : argv) args.push_back(a.c_str());
  args.push_back(nullptr);
  ChildOptions options;
  options.pipe_stdin = true;
  options.pipe_stdout = true;
  options.inherit_stderr = true;
  options.own_session = true;
  options.parent_job = true;
  options.kill_group = true;
  auto run = std::make_shared<ToolRun>();
  int error = 0;
  if (!child_spawn(args.data(), options, &run->child, &error)) {
    *why = child_error_text(error);
    return nullptr;
  }
  intptr_t out = run->child.out;
  run->child.out = -1;  // the reader's from here on
  std::thread(read_thread, run, source, out).detach();
  return run;
}
