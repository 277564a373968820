// Wire contract: callers match this file's message texts and keys exactly; do not reword.
#include "websvcs/common/fs/list_page.h"

#include <ace/Log_Msg.h>
#include <yajl/yajl_gen.h>

#include <cerrno>
#include <memory>
#include <new>

#include "agent/json_io/file_info.h"
#include "agent/json_io/json_generator.h"
#include "agent/json_io/yajl_gen.h"
#include "agent/platform/directory_reader.h"
#include "agent/platform/reader_parking.h"
#include "agent/plugin/module_settings.h"
#include "websvcs/common/frame/jsonrpc_reply.h"
#include "websvcs/common/fs/list_cursor.h"
#include "websvcs/common/fs/list_generator.h"
#include "websvcs/common/fs/list_options.h"
#include "websvcs/common/fs/path_param.h"

namespace wcommon {

namespace {

using Clock = std::chrono::steady_clock;

const char INVALID_CURSOR[] = "Invalid cursor.";
const char INVALID_LIMIT[] = "Invalid params: limit must be a whole number from 1 to 100000";
// Entries a resumed page may pass before the one its cursor names: file
// systems whose offsets are name hashes give colliding names one position.
const unsigned MAX_SKIP = 16;

bool same_directory(const Directory_Reader::Identity& a, const Directory_Reader::Identity& b) {
  return a.device == b.device && a.inode == b.inode && a.modified_ns == b.modified_ns &&
         a.changed_ns == b.changed_ns;
}

// One page: the entries from where the cursor stands (or the drives from
// its letter), then the cursor of the next page while there may be one.
// The reader of a page that leaves more is parked under that cursor, so
// the next page takes it up where this one stopped.
class List_Page_Generator : public JSON_Step_Generator {
 public:
  List_Page_Generator(const json_spirit::Value& id, const std::string& path,
                      platform::Parked_Reader&& from_reader, const FS_List_Cursor& from,
                      long limit, Clock::time_point deadline)
      : id_(id), path_(path), reader_(std::move(from_reader.reader)),
        entry_(std::move(from_reader.next)), has_next_(from_reader.has_next), cursor_(from),
        limit_(limit), deadline_(deadline) {}

  Step generate_step(yajl_gen_t* g) override {
    if (!started_) {
      started_ = true;
      yajl_gen_map_open(g);
      yajl_gen_text(g, "jsonrpc");
      yajl_gen_text(g, "2.0");
      yajl_gen_text(g, "id");
      json_spirit::yajl_gen_value(g, id_);
      yajl_gen_text(g, "result");
      yajl_gen_map_open(g);
      yajl_gen_text(g, "entries");
      yajl_gen_array_open(g);
    }
    if (!(reader_ ? write_entries(g) : write_drives(g))) return MORE;
    yajl_gen_array_close(g);
    if (partial_) {
      if (cursor_.after_entry) cursor_.name_hash = list_name_hash(last_name_);
      const std::string text = encode_list_cursor(cursor_, path_);
      if (text.empty()) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l: cannot seal the cursor of a listing of %C\n"),
                   path_.c_str()));
        return FAILED;
      }
      if (reader_) {
        // The next page starts as any other: its first entry is not cut.
        reader_->clear_deadline();
        platform::park_reader(text, platform::Parked_Reader{std::move(reader_),
                                                            std::move(entry_), has_next_});
      }
      yajl_gen_text(g, "cursor");
      yajl_gen_text(g, text);
    }
    // Otherwise the directory is not needed any more: stop the read-ahead
    // now rather than when the send lets the generator go.
    reader_.reset();
    yajl_gen_text(g, "partial");
    yajl_gen_bool(g, partial_);
    yajl_gen_map_close(g);
    yajl_gen_map_close(g);
    return DONE;
  }

 private:
  // False when the step should wait for the requester to read.
  bool write_entries(yajl_gen_t* g) {
    while (!output_failed()) {
      if (output_backlogged()) return false;
      if (written_ == limit_) {
        // One read more tells the last page from one that fills up; the
        // entry it read is the next page's first.
        has_next_ = has_next_ || reader_->read(entry_);
        partial_ = has_next_ || reader_->error() == ETIMEDOUT;
        return true;
      }
      // Past the first entry, so that every page moves on.
      if (written_ > 0 && Clock::now() >= deadline_) {
        partial_ = true;
        return true;
      }
      if (has_next_) {
        has_next_ = false;  // read by the page before
      } else if (!reader_->read(entry_)) {
        // A read error ends the listing, as it ends an unpaged one.
        partial_ = reader_->error() == ETIMEDOUT;
        return true;
      }
      if (written_ == 0) reader_->set_deadline(deadline_);
      file_info_to_json(g, entry_, 0);
      ++written_;
      cursor_.after_entry = true;
      cursor_.position = entry_.position;
      last_name_ = entry_.name;
    }
    return true;
  }

  bool write_drives(yajl_gen_t* g) {
    const bool restore = FS_List_Options::instance()->restore_connection;
    while (cursor_.position <= LAST_DRIVE && !output_failed()) {
      if (output_backlogged()) return false;
      if (written_ == limit_ || (written_ > 0 && Clock::now() >= deadline_)) {
        partial_ = true;
        return true;
      }
      if (write_drive(g, static_cast<wchar_t>(cursor_.position), restore)) ++written_;
      ++cursor_.position;
    }
    return true;
  }

  json_spirit::Value id_;
  std::string path_;
  std::unique_ptr<Directory_Reader> reader_;  // null for the drive list
  Directory_Entry_T<char> entry_;
  bool has_next_;  // entry_ was read and is not listed yet
  FS_List_Cursor cursor_;  // where the next page starts
  std::string last_name_;
  long limit_;
  long written_ = 0;
  Clock::time_point deadline_;
  bool started_ = false;
  bool partial_ = false;
};

const json_spirit::Value* member(const json_spirit::Value& params, const char* key) {
  if (params.type() != json_spirit::obj_type) return nullptr;
  const json_spirit::Object& o = params.get_obj();
  const auto found = o.find(key);
  if (found == o.end() || found->second.type() == json_spirit::null_type) return nullptr;
  return &found->second;
}

// The page's size; false when `limit` is not a whole number in range.
bool read_limit(const json_spirit::Value* limit, long& size) {
  size = LIST_PAGE_DEFAULT;
  if (!limit) return true;
  if (limit->type() != json_spirit::int_type || limit->is_uint64()) return false;
  const std::int64_t value = limit->get_int64();
  if (value < 1 || value > LIST_PAGE_MAX) return false;
  size = static_cast<long>(value);
  return true;
}

// Opens `path` where `cursor` stands (filling in the directory on a first
// page), or takes up the reader the page before parked under
// `cursor_text`; errors are answered here, with `sent` the handler's
// result, and the reader is null then.
platform::Parked_Reader open_at(JSON_RPC_Channel& channel, const json_spirit::Value& id,
                                const std::string& path, const std::string* cursor_text,
                                FS_List_Cursor& cursor, int& sent) {
  sent = -1;
  if (!accept_path(channel, id, path)) return platform::Parked_Reader();
  Directory_Reader::Identity directory;
  // A changed directory may have moved its entries: going on could
  // repeat or skip some, so the cursor is refused instead.
  const auto refuse = [&] {
    sent = send_error(channel, -32602, id, INVALID_CURSOR);
    return platform::Parked_Reader();
  };
  if (cursor_text) {
    platform::Parked_Reader parked = platform::take_parked_reader(*cursor_text);
    if (parked.reader) {
      if (!parked.reader->identity(directory) || !same_directory(directory, cursor.directory))
        return refuse();
      return parked;
    }
  }
  platform::Parked_Reader opened;
  opened.reader.reset(new (std::nothrow) Directory_Reader);
  Directory_Reader* reader = opened.reader.get();
  if (!reader) {
    sent = send_out_of_memory(channel, id);
    return platform::Parked_Reader();
  }
  if (!reader->open(path.c_str(), true,
                    Directory_Reader::WITH_STAT | Directory_Reader::READ_AHEAD) ||
      !reader->identity(directory)) {
    send_path_error(channel, id, errno);
    return platform::Parked_Reader();
  }
  if (!cursor_text) {
    cursor.directory = directory;
    return opened;
  }
  const std::uint64_t name_hash = cursor.name_hash;
  if (!same_directory(directory, cursor.directory) ||
      (cursor.after_entry &&
       !reader->resume(cursor.position,
                       [name_hash](const std::string& name) {
                         return list_name_hash(name) == name_hash;
                       },
                       MAX_SKIP)))
    return refuse();
  return opened;
}

}  // namespace

bool wants_list_page(const json_spirit::Value& params) {
  return member(params, "limit") || member(params, "cursor");
}

int send_list_page(JSON_RPC_Channel& channel, const json_spirit::Value& id,
                   const std::string& path, const json_spirit::Value& params,
                   Clock::time_point started) {
  long limit;
  if (!read_limit(member(params, "limit"), limit))
    return send_error(channel, -32602, id, INVALID_LIMIT);
  FS_List_Cursor cursor;
  const json_spirit::Value* given = member(params, "cursor");
  if (given && (given->type() != json_spirit::str_type ||
                !decode_list_cursor(given->get_str(), path, cursor)))
    return send_error(channel, -32602, id, INVALID_CURSOR);
  // Made before any work, so a page never ends without its cursor.
  if (encode_list_cursor(cursor, path).empty())
    return send_error(channel, -32603, id, "Internal error, cannot make a cursor.");

  platform::Parked_Reader reader;
  if (path.empty()) {
    if (!given) {
      cursor.position = FIRST_DRIVE;
    } else if (cursor.after_entry || cursor.position < FIRST_DRIVE ||
               cursor.position > LAST_DRIVE + 1) {
      return send_error(channel, -32602, id, INVALID_CURSOR);
    }
  } else {
    int sent;
    reader = open_at(channel, id, path, given ? &given->get_str() : nullptr, cursor, sent);
    // Read-ahead goes on past the page: the next one takes it up.
    if (!reader.reader) return sent;
  }
  const auto budget = std::chrono::milliseconds(
      plugin::module_setting_number(LIST_PAGE_MS_SETTING, LIST_PAGE_MS_DEFAULT));
  std::unique_ptr<List_Page_Generator> page(new (std::nothrow) List_Page_Generator(
      id, path, std::move(reader), cursor, limit, started + budget));
  if (!page) return send_out_of_memory(channel, id);
  return channel.send_generator(std::move(page));
}

}  // namespace wcommon
