// Writes one whole JSON reply into a generator the channel hands it, so a
// reply of any size streams out without being built in memory first.
#ifndef MDRT_JSON_GENERATOR_H
#define MDRT_JSON_GENERATOR_H

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

#endif
