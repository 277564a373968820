// Writes one whole JSON reply into a generator the channel hands it, so a
// reply of any size streams out without being built in memory first.
#ifndef JSON_IO_JSON_GENERATOR_H
#define JSON_IO_JSON_GENERATOR_H

struct yajl_gen_t;

class JSON_Generator {
 public:
  virtual ~JSON_Generator();
  // False when the reply could not be written completely.
  virtual bool generate(yajl_gen_t* g) = 0;

  // True once the channel could no longer pass output on (the requester
  // has gone): a long reply stops instead of generating into the void.
  bool output_failed() const { return output_ok_ && !*output_ok_; }
  // Set by the channel for the duration of a send.
  void watch_output(const bool* ok) { output_ok_ = ok; }

 private:
  const bool* output_ok_ = nullptr;
};

// A reply written in steps, so that a send to a requester that reads slowly
// can stop between them without holding its thread: the channel calls
// generate_step with the same generator until it answers done or failed,
// possibly on other threads in between. What a step has opened stays open
// in the generator for the next one, so no scope guard may span steps.
class JSON_Step_Generator : public JSON_Generator {
 public:
  enum Step { MORE, DONE, FAILED };

  // Writes some of the reply. A step should answer MORE soon after
  // output_backlogged() turns true.
  virtual Step generate_step(yajl_gen_t* g) = 0;
  // All the steps in one go.
  bool generate(yajl_gen_t* g) override;

  // Set by the channel for the duration of a send.
  void watch_backlog(const bool* backlogged) { backlogged_ = backlogged; }

 protected:
  // True while the requester's transport holds as much unsent output as it
  // should: the step had better return MORE and let the send wait.
  bool output_backlogged() const { return backlogged_ && *backlogged_; }

 private:
  const bool* backlogged_ = nullptr;
};

#endif
