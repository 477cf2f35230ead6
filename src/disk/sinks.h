// What the engines report through. The application implements these; the
// engines never see a window, the list or the Host.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "disk/row_facts.h"

namespace ambrelic::disk {

// An open progress dialog as the engines drive it. Closing it is destroying
// the object.
class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  // Sets the count label ("Cluster:", "File No:" or empty) and the total.
  virtual void BeginCount(const std::string& label, std::uint64_t total) = 0;
  // Makes the "Fichier :" label visible.
  virtual void ShowFileLabel() = 0;
  // The file-name line.
  virtual void SetFileName(const std::string& text) = 0;
  // Reports the position; false when the user asked to cancel.
  virtual bool Advance(std::uint64_t position) = 0;
  // Pumps pending events; true when Cancel was pressed since the last call.
  virtual bool TakeCancelRequest() = 0;
};

// One found file or folder, as the five texts of its results-list row.
struct FoundRow {
  std::string name;      // Name
  std::string folder;    // In Folder
  std::string size;      // Size; empty for a folder
  std::string modified;  // Modified, MM/DD/YYYY HH:MM
  std::string number;    // Cluster (FAT) or File No (NTFS)
  bool isFolder = false;
  // Beside the texts, for the formats other tools read and the restore's
  // checks: the same values typed, every time the entry or record holds,
  // and how much of what a restore would read is still free. An engine
  // fills them for every row it adds.
  RowFacts facts;
};

// The questions a front end may answer ahead (the command line's flags).
// Each is asked with its id, so that the answer is found by what is asked,
// whatever the words or the drive it names.
enum class QuestionId : std::uint8_t {
  Unnamed,
  ScanVacant,             // scan the vacant clusters after the search
  ScanAll,                // scan all clusters, the used ones too
  SameDrive,              // restore onto the searched drive
  DeleteCompletelyFirst,  // the wipe's two questions before it starts
  DeleteCompletelySecond,
  ReplaceFileInformation,  // the wipe's second phase (entries or file records)
};

// The application side the engines talk to.
class EngineHost {
 public:
  virtual ~EngineHost() = default;
  // Opens a progress dialog owned by the main dialog (which it disables
  // until the dialog is closed, that is, destroyed).
  virtual std::unique_ptr<ProgressSink> OpenProgress() = 0;
  // Adds a row: counts it, shows the counter and the name in the open
  // progress dialog, and inserts it at the next row index.
  // The row is handed over (moved in when the caller lets it go).
  virtual void AddRow(FoundRow row) = 0;
  // A search's walk entered a folder (by the identity its rows' parent
  // fact and a folder row's number give) from the folder `parent`
  // (kNoFolder: the root), listed as a row or not (a name filter may leave
  // it out): a folder row's restore walks its folders whether they were
  // listed or not, and what it writes is worked out from these steps.
  virtual void FolderEntered(std::uint64_t folder, std::uint64_t parent) {}
  // A restore wrote the file at path (or was to write it) without some of
  // what it holds: sectors it needed could not be read. The command names
  // such files when it ends.
  virtual void UnreadableIn(const std::string& path) {}
  // A message with an OK button and no icon.
  virtual void ShowMessage(const std::string& text) = 0;
  // A Yes/No question with No as the default button; true for Yes.
  virtual bool AskYesNo(const std::string& text, bool stopIcon = false) = 0;
  // The same for a question a front end may answer ahead.
  virtual bool Ask(QuestionId id, const std::string& text, bool stopIcon = false) { return AskYesNo(text, stopIcon); }
  // A message about one file (path as the user named it or the restore
  // made it): the window shows the text as it stands, the command line
  // names the file.
  virtual void ShowFileMessage(const std::string& path, const std::string& text) { ShowMessage(text); }
  // A restore wrote a file or created a folder at path (the path it really
  // used, after any " (2)"), from an entry or record last modified at
  // `modified`. Folders are told before their contents are written.
  virtual void Restored(const std::string& path, const VolumeTime& modified, bool isFolder) {}
  // Asked by long work that reports no progress of its own (writing one
  // restored file): pumps pending events and tells whether the user asked
  // to cancel the running command (Cancel, Ctrl-C); once true, true until
  // the command ends.
  virtual bool CancelRequested() { return false; }
};

// The host of a walk made only for what it learns (a folder's links): it
// lists nothing, shows nothing and answers no to every question.
class SilentHost final : public EngineHost {
 public:
  std::unique_ptr<ProgressSink> OpenProgress() override { return nullptr; }
  void AddRow(FoundRow) override {}
  void ShowMessage(const std::string&) override {}
  bool AskYesNo(const std::string&, bool) override { return false; }
};

}  // namespace ambrelic::disk
