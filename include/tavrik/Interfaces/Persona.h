// The accounts layer: the people in whose name git records commits.
#pragma once

#include <mutex>
#include <string>

namespace persona {

/// A person with a name and an e-mail address.
struct Persona {
  std::string name;
  std::string email;
  bool operator==(const Persona&) const = default;
};

/// Source of the current author and committer. Read from worker threads while
/// commands are prepared, so implementations must be thread-safe.
class PersonaManager {
public:
  virtual ~PersonaManager() = default;
  virtual Persona currentAuthor() const = 0;
  virtual Persona currentCommitter() const = 0;
};

/// A persona manager with fixed, replaceable author and committer.
class FixedPersonaManager : public PersonaManager {
public:
  FixedPersonaManager(Persona author, Persona committer)
      : author_(std::move(author)), committer_(std::move(committer)) {}
  explicit FixedPersonaManager(Persona both) : author_(both), committer_(std::move(both)) {}

  Persona currentAuthor() const override {
    std::lock_guard lock(mutex_);
    return author_;
  }
  Persona currentCommitter() const override {
    std::lock_guard lock(mutex_);
    return committer_;
  }
  void setAuthor(Persona p) {
    std::lock_guard lock(mutex_);
    author_ = std::move(p);
  }
  void setCommitter(Persona p) {
    std::lock_guard lock(mutex_);
    committer_ = std::move(p);
  }

private:
  mutable std::mutex mutex_; // guards author_ and committer_
  Persona author_;
  Persona committer_;
};

} // namespace persona
