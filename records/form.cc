// The record form window: its fixed part, the inputs built from a table's
// field list, and the stepping through a found set. The statements its
// buttons send are in update.cc and search.cc; their text in statements.cc.
#include <X11/Xutil.h>

#include <algorithm>
#include <string>

#include "app/services/binary.h"
#include "app/services/buttons.h"
#include "app/services/charset.h"
#include "records/records.h"

namespace {

// Every record form is 400 pixels wide; inputs sit 35 pixels apart below
// the title and the row of buttons.
const int kFormWidth = 400;
const int kFixedHeight = 100;
const int kInputPitch = 35;
const int kFirstInputY = 80;
const int kButtonWidth = 70;
const int kButtonHeight = 20;
// A form taller than the screen less this (room for the window manager's
// frame) would hide its last fields below the screen's edge: it is kept this
// high, and its inputs scroll.
const int kScreenMargin = 80;
const int kScrollBarWidth = 20;
// A field's name stands left of its input, drawn in this room up to the
// input at x 90. Longer names move the inputs right, and widen the window,
// by up to kMoreLabelRoom; a name longer still is cut.
const int kLabelRoom = 84;
const int kMoreLabelRoom = 160;

int LabelWidth(const std::string &label) {
  return fl_get_string_width(FL_BOLD_STYLE, FL_NORMAL_SIZE, label.c_str(), static_cast<int>(label.size()));
}

// The room the labels of info's data fields take: kLabelRoom, or what the
// longest name needs up to kLabelRoom + kMoreLabelRoom.
int LabelRoom(const Info *info) {
  int room = kLabelRoom;
  for (int i = 0; i < info->nfields; i++) room = std::max(room, LabelWidth(ToToolkit(info->fields[i].name)));
  return std::min(room, kLabelRoom + kMoreLabelRoom);
}

// A field's name as its label: whole when it fits the room, else cut at its
// end, the last place taken by the cut mark. The toolkit would draw a long
// name from beyond the window's left edge, losing its start.
std::string FieldLabel(const char *name, int room, bool *cut) {
  std::string label = ToToolkit(name);
  *cut = false;
  if (LabelWidth(label) <= room) return label;
  *cut = true;
  while (!label.empty() && LabelWidth(label + CUT_MARK) > room) label.pop_back();
  return label + CUT_MARK;
}

// Shows row `current` of the form's found set; returns whether there was one.
bool ShowCurrentRow(RecordForm *record) {
  if (record->info->res == nullptr || CheckColumns(record->info, record->info->res) != 0)
    return false;
  msqlDataSeek(record->info->res, record->current);
  char **row = msqlFetchRow(record->info->res);
  if (row == nullptr) return false;
  FillInputs(record, row, msqlFetchLengths(record->info->res));
  return true;
}

// Shows the rows of inputs from the scroll bar's value on, as many as the
// window has room for, each in its place below the buttons; the others are
// hidden until scrolled to.
void ScrollInputs(FL_OBJECT *scrollbar, long data) {
  RecordForm *record = RecordOf(data);
  int top = static_cast<int>(fl_get_scrollbar_value(scrollbar) + 0.5);
  fl_freeze_form(record->form);
  for (int i = 0; i < record->info->nfields; i++) {
    FL_OBJECT *input = record->inputs[i];
    int row = i - top;
    if (row >= 0 && row < record->rows) {
      fl_set_object_position(input, input->x, kFirstInputY + kInputPitch * row);
      fl_show_object(input);
    } else {
      fl_hide_object(input);
    }
  }
  fl_unfreeze_form(record->form);
}

// Everything a record form owns but the form itself.
void ReleaseRecord(RecordForm *record) {
  if (record->info->res != nullptr) msqlFreeResult(record->info->res);
  FreeInfo(record->info);
  delete[] record->inputs;
  delete record;
}

// Every key pressed in a record form passes here before the toolkit takes
// it. The toolkit reads a key's text in ISO 8859-1 and gives an input nothing
// for a key that stands for another character, so it is noticed here, from
// the key itself, and the input it was meant for is marked.
int WatchTypedKeys(FL_FORM *form, void *event) {
  XKeyEvent *key = static_cast<XKeyEvent *>(event);
  RecordForm *record = static_cast<RecordForm *>(form->u_vdata);
  if (record == nullptr || key->type != KeyPress || (key->state & (ControlMask | Mod1Mask)))
    return 0;
  char text[8];
  KeySym keysym = NoSymbol;
  XLookupString(key, text, sizeof text, &keysym, nullptr);
  if (!KeysymDropped(keysym)) return 0;
  FL_OBJECT *focus = fl_get_focus_object(form);
  for (size_t i = 0; i < record->dropped.size(); i++)
    if (record->inputs[i] == focus) record->dropped[i] = true;
  return 0;  // the toolkit goes on, as for any key
}

void FreeClosedForm(int, void *form) { fl_free_form(static_cast<FL_FORM *>(form)); }

// The window manager's close button: without a handler the toolkit would end
// the whole program. The toolkit goes on reading the form after this returns
// (and hides it itself), so the form is freed a moment later, outside its
// handling; everything else goes at once, as with the Close button.
int CloseFromWindowManager(FL_FORM *form, void *data) {
  ReleaseRecord(static_cast<RecordForm *>(data));
  form->u_vdata = nullptr;
  fl_add_timeout(0, FreeClosedForm, form);
  return FL_OK;
}

}  // namespace

RecordForm *RecordOf(long data) { return reinterpret_cast<RecordForm *>(data); }

std::vector<std::string> InputTexts(const RecordForm *record) {
  std::vector<std::string> values(record->info->nfields);
  for (int i = 0; i < record->info->nfields; i++) values[i] = ToServer(fl_get_input(record->inputs[i]));
  return values;
}

std::vector<const char *> TextPointers(const std::vector<std::string> &texts) {
  std::vector<const char *> pointers(texts.size());
  for (size_t i = 0; i < texts.size(); i++) pointers[i] = texts[i].c_str();
  return pointers;
}

RecordForm *CreateRecordForm(void) {
  RecordForm *record = new RecordForm();
  record->form = fl_bgn_form(FL_NO_BOX, kFormWidth, kFixedHeight);
  fl_add_box(FL_UP_BOX, 0, 0, kFormWidth, kFixedHeight, "");

  FL_OBJECT *obj = fl_add_text(FL_NORMAL_TEXT, 10, 5, 380, 20, "");
  fl_set_object_lsize(obj, FL_NORMAL_SIZE);
  fl_set_object_lalign(obj, FL_ALIGN_INSIDE);
  fl_set_object_lstyle(obj, FL_EMBOSSED_STYLE);
  fl_set_object_resize(obj, FL_RESIZE_NONE);
  fl_set_object_gravity(obj, FL_NorthWest, FL_NoGravity);
  record->title = obj;

  obj = fl_add_frame(FL_ENGRAVED_FRAME, 10, 30, 380, 30, "");
  fl_set_object_resize(obj, FL_RESIZE_NONE);
  fl_set_object_gravity(obj, FL_NorthWest, FL_NoGravity);

  // Close alone keeps its place and size when the form is made taller.
  const ButtonLook close_look = {kButtonWidth, kButtonHeight, 0, true};
  AddButton(close_look, {"Close", 20, 35, "#c", RecordClose, &record->close}, reinterpret_cast<long>(record));
  fl_end_form();
  // The toolkit's user-data slot leads from the window back to its record.
  record->form->u_vdata = record;
  fl_set_form_atclose(record->form, CloseFromWindowManager, record);
  return record;
}

RecordForm *OpenRecordForm(Info *info, const char *title, int mode) {
  int height = kInputPitch * info->nfields + 90;
  int highest = fl_scrh - kScreenMargin;
  bool scrolled = height > highest && highest > kFixedHeight;
  int label_room = LabelRoom(info);
  int width = kFormWidth + (label_room - kLabelRoom);
  RecordForm *record = CreateRecordForm();
  record->info = CopyInfo(info);
  long data = reinterpret_cast<long>(record);

  fl_addto_form(record->form);
  if (scrolled)
    fl_set_form_size(record->form, width + kScrollBarWidth, highest);
  else
    fl_set_form_size(record->form, width, height);
  fl_set_object_label(record->title, title);

  // The mode's buttons, always in this order, each 80 pixels right of the
  // one before. Each has Alt and a letter of its label as its key, the
  // letter underlined; no two buttons of any mode share one, nor take Close's
  // "c".
  struct ModeButton {
    int flag;
    ButtonSpec button;  // placed at the x it gets
  };
  const ModeButton buttons[] = {
      {REC_MODIFY, {"Modify", 0, 35, "#m", RecordUpdate}},
      {REC_DELETE, {"Delete", 0, 35, "#d", RecordDelete}},
      {REC_INSERT, {"Insert", 0, 35, "#i", RecordInsert}},
      {REC_BROWSE, {"Change", 0, 35, "#h", RecordChange}},
      {REC_SEARCH, {"Search", 0, 35, "#s", RecordSearch}},
      // Touch buttons repeat their callback while held down.
      {REC_BROWSE, {"Previous", 0, 35, "#p", RecordPrevious, &record->previous, FL_TOUCH_BUTTON}},
      {REC_NEXT, {"Next", 0, 35, "#n", RecordNext, &record->next, FL_TOUCH_BUTTON}},
  };
  const ButtonLook look = {kButtonWidth, kButtonHeight, 0, false};
  int x = 100;
  for (const ModeButton &b : buttons) {
    if (!(mode & b.flag)) continue;
    ButtonSpec placed = b.button;
    placed.x = x;
    AddButton(look, placed, data);
    x += 80;
  }

  // Scrolled, a scroll bar right of the inputs chooses the first row shown.
  record->rows = info->nfields;
  if (scrolled) {
    record->rows = (highest - 90) / kInputPitch;
    const int top = kFirstInputY - 10;
    record->scroller = fl_add_scrollbar(FL_VERT_SCROLLBAR, width, top, kScrollBarWidth, highest - 10 - top, "");
    fl_set_scrollbar_bounds(record->scroller, 0, info->nfields - record->rows);
    fl_set_scrollbar_step(record->scroller, 1);
    fl_set_scrollbar_increment(record->scroller, record->rows, 1);
    fl_set_scrollbar_size(record->scroller, static_cast<double>(record->rows) / info->nfields);
    fl_set_scrollbar_value(record->scroller, 0);
    fl_set_object_callback(record->scroller, ScrollInputs, data);
  }
  record->inputs = new FL_OBJECT *[info->nfields > 0 ? info->nfields : 1]();
  for (int i = 0; i < info->nfields; i++) {
    bool cut;
    std::string label = FieldLabel(info->fields[i].name, label_room, &cut);
    FL_OBJECT *obj = fl_add_input(FL_NORMAL_INPUT, 90 + (label_room - kLabelRoom), kInputPitch * i + kFirstInputY,
                                  300, 25, label.c_str());
    // A name cut to fit is whole in the tooltip (and in Field Info).
    if (cut) fl_set_object_helper(obj, ToToolkit(info->fields[i].name).c_str());
    fl_set_object_lsize(obj, FL_NORMAL_SIZE);
    fl_set_object_lalign(obj, FL_ALIGN_LEFT);
    fl_set_object_lstyle(obj, FL_BOLD_STYLE);
    // A free text takes values longer than its length, in mSQL as in an
    // SQLite file, where the length is only that of the longest value yet.
    fl_set_input_maxchars(obj, info->fields[i].type == TEXT_TYPE ? 0 : info->fields[i].length);
    record->inputs[i] = obj;
  }
  if (info->pkey >= 0 && info->pkey < info->nfields) {
    FL_OBJECT *key = record->inputs[info->pkey];
    fl_set_input_color(key, FL_RED, FL_BLUE);
    fl_set_object_lcolor(key, FL_RED);
  }
  fl_end_form();
  record->dropped.assign(info->nfields, false);
  fl_register_raw_callback(record->form, KeyPressMask, WatchTypedKeys);
  if (scrolled) ScrollInputs(record->scroller, data);
  fl_show_form(record->form, PlaceBesideMainWindow(record->form), FL_FULLBORDER, "Record");
  BringToFront(record->form);
  return record;
}

void FillInputs(RecordForm *record, char **row, const int *lengths) {
  record->original.assign(record->info->nfields, std::nullopt);
  record->shown.assign(record->info->nfields, std::string());
  for (int i = 0; i < record->info->nfields; i++) {
    if (row[i] != nullptr) {
      std::string value = lengths != nullptr ? std::string(row[i], static_cast<size_t>(lengths[i])) : row[i];
      record->original[i] = value;
      // A value that is not text shows as a description of itself, which
      // says that it cannot be edited as text; left as it is, the value goes
      // back as stored, and what the user types instead replaces it.
      if (IsBinaryValue(value.data(), value.size()))
        value = BinaryDescription(value.data(), value.size(), true);
      fl_set_input(record->inputs[i], ToToolkit(value.c_str()).c_str());
    }
    // Read back rather than predicted: what the input drops depends on the
    // toolkit and the locale. InexactFields compares it with the value.
    record->shown[i] = fl_get_input(record->inputs[i]);
  }
}

std::optional<std::string> RecordValue(const RecordForm *record, int i) {
  const char *text = fl_get_input(record->inputs[i]);
  if (record->original.empty()) return ToServer(text);
  if (record->shown[i] == text) return record->original[i];
  // A value shown as a description of itself is replaced by what is typed.
  if (!record->original[i].has_value() ||
      IsBinaryValue(record->original[i]->data(), record->original[i]->size()))
    return ToServer(text);
  // Edited: what the user did not change keeps its stored characters.
  return MergeEdit(*record->original[i], record->shown[i], text, server_charset).value;
}

std::string LossyEdits(const RecordForm *record) {
  std::string names;
  for (size_t i = 0; i < record->original.size(); i++) {
    const char *text = fl_get_input(record->inputs[i]);
    if (!record->original[i].has_value() || record->shown[i] == text ||
        IsBinaryValue(record->original[i]->data(), record->original[i]->size()) ||
        !MergeEdit(*record->original[i], record->shown[i], text, server_charset).lost)
      continue;
    if (!names.empty()) names += ", ";
    names += record->info->fields[i].name;
  }
  return names;
}

bool RefuseDroppedKeys(RecordForm *record) {
  std::string names;
  for (size_t i = 0; i < record->dropped.size(); i++) {
    if (!record->dropped[i]) continue;
    if (!names.empty()) names += ", ";
    names += record->info->fields[i].name;
    record->dropped[i] = false;
  }
  if (names.empty()) return false;
  // Nothing was sent: no third line of the server's last error, as
  // ShowAlert would give.
  std::string text = "A character typed into " + names +
                     " was dropped: the inputs take ISO 8859-1 only. Nothing was sent";
  dialogs.alert(ToToolkit(text.c_str()).c_str(), "", "", 1);
  return true;
}

static bool HoldsZeroByte(const std::optional<std::string> &value) {
  return value.has_value() && value->find('\0') != std::string::npos;
}

// A value that is not text is left out as well: written back through a
// statement's text it would come back as text, if whole at all.
bool RecordLeftOut(const RecordForm *record, int i) {
  if (record->original.empty() || !record->original[i].has_value() ||
      !IsBinaryValue(record->original[i]->data(), record->original[i]->size()))
    return false;
  return record->shown[i] == fl_get_input(record->inputs[i]);
}

bool RecordKeyUnwritable(const RecordForm *record) {
  return !record->original.empty() && HoldsZeroByte(record->original[record->info->pkey]);
}

std::string InexactFields(const RecordForm *record) {
  std::string names;
  for (size_t i = 0; i < record->original.size(); i++) {
    if (!record->original[i].has_value() ||
        *record->original[i] == ToServer(record->shown[i].c_str()))
      continue;
    if (!names.empty()) names += ", ";
    names += record->info->fields[i].name;
  }
  return names;
}

std::string RecordKey(const RecordForm *record) {
  int key = record->info->pkey;
  if (!record->original.empty() && record->original[key].has_value())
    return *record->original[key];
  return ToServer(fl_get_input(record->inputs[key]));
}

void RecordClose(FL_OBJECT *, long data) {
  RecordForm *record = RecordOf(data);
  FL_FORM *form = record->form;
  fl_hide_form(form);
  ReleaseRecord(record);
  fl_free_form(form);
}

// Stepping beyond either end greys the button that failed and keeps the row
// shown; the button stays active, and pressing it again repeats the failed
// step without any other effect.
void RecordNext(FL_OBJECT *, long data) {
  RecordForm *record = RecordOf(data);
  record->current++;
  if (ShowCurrentRow(record)) {
    if (record->previous != nullptr) fl_set_object_lcolor(record->previous, FL_BLACK);
  } else {
    fl_set_object_lcolor(record->next, FL_INACTIVE);
    record->current--;
  }
}

void RecordPrevious(FL_OBJECT *, long data) {
  RecordForm *record = RecordOf(data);
  record->current--;
  if (ShowCurrentRow(record)) {
    if (record->next != nullptr) fl_set_object_lcolor(record->next, FL_BLACK);
  } else {
    fl_set_object_lcolor(record->previous, FL_INACTIVE);
    record->current++;
  }
}

// Opens the shown record in a Modify Record window of its own; the show
// window stays as it is.
void RecordChange(FL_OBJECT *, long data) {
  RecordForm *record = RecordOf(data);
  char **row = nullptr;
  if (record->info->res != nullptr) {
    if (CheckColumns(record->info, record->info->res) != 0) return;
    msqlDataSeek(record->info->res, record->current);
    row = msqlFetchRow(record->info->res);
  }
  if (row == nullptr) {
    ShowAlert("Cannot fetch record");
    return;
  }
  // A record whose key is NULL cannot be looked up by its key.
  if (row[record->info->pkey] == nullptr) {
    ShowMessage("No (unique) record found");
    return;
  }
  std::string key = row[record->info->pkey];
  ModifyRecord(key.c_str(), record->info);
}
