// Statements and result sets: msqlQuery feeds the packets of its reply to
// the reply reader, which leaves the rows and field descriptions in the
// pending state, msqlStoreResult moves them into a ResultHandle, and the
// fetch and seek functions walk it.
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "msql/msql_internal.h"
#include "msql/testing.h"

namespace {

RowList pendingRows;
RowList pendingFieldRows;

// Rows are carved one after another out of a block; the first block of a
// list is small, so that a short answer stays small, and each further one
// is as large as all before it together, up to kLargestBlock, so that a
// list wastes at most about half of what it holds. A row larger than that
// gets a block of its own size.
const size_t kFirstBlock = 1024;
const size_t kLargestBlock = 2 * MSQL_HUGE_PAGE;

// Blocks of the largest size that freed results gave back, kept for the
// next large result: pages that the kernel must otherwise clear anew, which
// costs as much as reading the rows. They are offered back to the kernel
// (MADV_FREE), which takes them when it needs memory; up to 64 are kept.
const int kSpareBlocks = 64;

// Rows are written and walked in the order they lie in their blocks, so the
// memory this many bytes ahead is asked for early, three cache lines for
// each row (a row of a few short values takes about that): a large result
// is then stored and walked at the speed memory streams rather than one
// wait on memory per row. A prefetch never faults, past a block's end
// neither.
const size_t kFetchAhead = 2048;
void *spareBlocks[kSpareBlocks];
int spareCount = 0;

}  // namespace

struct RowBlock {
  RowBlock *next;
  size_t size;  // bytes after the header
  size_t used;
};

namespace {

char *BlockData(RowBlock *block) { return reinterpret_cast<char *>(block + 1); }

int *AlignedInts(char *at) {
  uintptr_t address = reinterpret_cast<uintptr_t>(at);
  return reinterpret_cast<int *>((address + alignof(int) - 1) & ~(uintptr_t{alignof(int)} - 1));
}

// Room for `need` bytes at the end of the list's newest block, or a new
// block; null when out of memory.
char *Reserve(RowList *rows, size_t need) {
  RowBlock *block = rows->blocks;
  if (block != nullptr && block->size - block->used >= need) return BlockData(block) + block->used;
  size_t size = std::max(need, std::min(kLargestBlock - sizeof(RowBlock), std::max(kFirstBlock, rows->reserved)));
  // Blocks of huge pages are whole pages, header included.
  bool large = sizeof(RowBlock) + size >= MSQL_HUGE_PAGE;
  if (large) size = ((sizeof(RowBlock) + size + MSQL_HUGE_PAGE - 1) & ~(MSQL_HUGE_PAGE - 1)) - sizeof(RowBlock);
  void *memory = nullptr;
  if (large && sizeof(RowBlock) + size == kLargestBlock && spareCount > 0) {
    memory = spareBlocks[--spareCount];
  } else if (large) {
    memory = msqlMallocLarge(sizeof(RowBlock) + size);
  } else {
    memory = msqlMalloc(sizeof(RowBlock) + size);
  }
  block = static_cast<RowBlock *>(memory);
  if (block == nullptr) return nullptr;
  block->next = rows->blocks;
  block->size = size;
  block->used = 0;
  rows->blocks = block;
  rows->reserved += size;
  return BlockData(block);
}

// Keeps the row just parsed at `start` and `bytes` long; the next starts
// aligned for a row record.
void Commit(RowList *rows, QueryDataRow *row, size_t bytes) {
  const size_t align = alignof(QueryDataRow);
  rows->blocks->used += (bytes + align - 1) & ~(align - 1);
  if (rows->last != nullptr) {
    rows->last->next = row;
  } else {
    rows->head = row;
  }
  rows->last = row;
  rows->count++;
}

inline bool TracingMalloc() { return (msqlDebugLevels & MSQL_DEBUG_MALLOC) != 0; }

void TraceRowMade(const QueryDataRow *row) {
  msqlTrace(MSQL_DEBUG_MALLOC, "Query data row - malloc @ %lX of %d\n", msqlAddress(row),
            static_cast<int>(sizeof(QueryDataRow)));
}

void TraceRowFreed(const QueryDataRow *row) {
  msqlTrace(MSQL_DEBUG_MALLOC, "Query data row - free @ %lX\n", msqlAddress(row));
}

bool SameLengths(const int *a, const int *b, size_t n) {
  for (size_t i = 0; i < n; i++) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

// Row packet layout, for each column in turn: the byte count in decimal, a
// colon, then exactly that many bytes; -2 and a colon with no bytes is NULL.
// Nothing separates one column from the next.
//
// The common form, plain digits right before the colon, is read in one pass
// over the payload where it lies, never past `length`; the values go to
// `texts`. Anything else is left to ParseAnyRow: false here says only that.
bool ParsePlainRow(const char *payload, size_t length, int columns, char **values, int *lengths,
                   char *texts, char **textsEnd) {
  const char *p = payload;
  const char *end = payload + length;
  char *out = texts;
  for (int i = 0; i < columns; i++) {
    if (p >= end) return false;
    unsigned digit = static_cast<unsigned>(static_cast<unsigned char>(*p) - '0');
    if (digit < 10) {
      // At most nine digits: the count stays well within its type.
      size_t count = digit;
      const char *q = p + 1;
      while (q < end && (digit = static_cast<unsigned>(static_cast<unsigned char>(*q) - '0')) < 10) {
        if (q - p >= 9) return false;
        count = count * 10 + digit;
        q++;
      }
      if (q >= end || *q != ':') return false;
      const char *value = q + 1;
      if (count > static_cast<size_t>(end - value)) return false;
      msqlCopyBytes(out, value, count);
      out[count] = '\0';
      values[i] = out;
      lengths[i] = static_cast<int>(count);
      out += count + 1;
      p = value + count;
    } else if (*p == '-' && end - p >= 3 && p[1] == '2' && p[2] == ':') {
      values[i] = nullptr;
      lengths[i] = 0;
      p += 3;
    } else {
      return false;
    }
  }
  *textsEnd = out;
  return true;
}

// Every other row, in a payload followed by a zero: a count is read as
// msqlReadNumber reads it, and its colon is the one right after it or else
// the next colon of the payload. False on a malformed row.
bool ParseAnyRow(const char *payload, size_t length, int columns, char **values, int *lengths,
                 char *texts, char **textsEnd) {
  const char *p = payload;
  const char *end = payload + length;
  char *out = texts;
  for (int i = 0; i < columns; i++) {
    if (p >= end) return false;
    const char *digitsEnd = p;
    int count = msqlReadNumber(p, &digitsEnd);
    const char *colon = digitsEnd < end && *digitsEnd == ':'
                            ? digitsEnd
                            : static_cast<const char *>(memchr(p, ':', end - p));
    if (colon == nullptr) return false;
    const char *value = colon + 1;
    if (count == MSQL_STATUS_NULL) {
      values[i] = nullptr;
      lengths[i] = 0;
      p = value;
      continue;
    }
    if (count < 0 || static_cast<size_t>(count) > static_cast<size_t>(end - value)) return false;
    memcpy(out, value, static_cast<size_t>(count));
    out[count] = '\0';
    values[i] = out;
    lengths[i] = count;
    out += count + 1;
    p = value + count;
  }
  *textsEnd = out;
  return true;
}

void FreePending() {
  freeRowList(&pendingRows);
  freeRowList(&pendingFieldRows);
}

// A result record with the blocks of its rows, which the caller does not
// see: it is handed out as its first member.
struct StoredResult {
  ResultHandle handle;
  RowBlock *blocks;
};

StoredResult *Stored(ResultHandle *handle) { return reinterpret_cast<StoredResult *>(handle); }

void FreeBlocks(RowBlock *block) {
  while (block) {
    RowBlock *next = block->next;
    if (sizeof(RowBlock) + block->size == kLargestBlock && spareCount < kSpareBlocks) {
      madvise(block, kLargestBlock, MADV_FREE);
      spareBlocks[spareCount++] = block;
    } else {
      free(block);
    }
    block = next;
  }
}

}  // namespace

void initRowList(RowList *rows) {
  rows->head = rows->last = nullptr;
  rows->count = 0;
  rows->blocks = nullptr;
  rows->reserved = 0;
  for (const int *&recent : rows->recentLengths) recent = nullptr;
  rows->recentNext = 0;
}

void freeRowList(RowList *rows) {
  if (TracingMalloc()) {
    for (const QueryDataRow *row = rows->head; row; row = row->next) TraceRowFreed(row);
  }
  FreeBlocks(rows->blocks);
  initRowList(rows);
}

ResultHandle *msqlNewHandle(void) {
  StoredResult *stored = static_cast<StoredResult *>(msqlCalloc(1, sizeof(StoredResult)));
  if (stored == nullptr) return nullptr;
  msqlTrace(MSQL_DEBUG_MALLOC, "Result Handle - malloc @ %lX of %d\n", msqlAddress(stored),
            static_cast<int>(sizeof(ResultHandle)));
  return &stored->handle;
}

void msqlHandleTakeRows(ResultHandle *handle, RowList *rows) {
  handle->queryData = handle->cursor = rows->head;
  handle->numRows = rows->count;
  Stored(handle)->blocks = rows->blocks;
  initRowList(rows);
}

FieldListEntry *msqlNewFieldEntry(void) {
  FieldListEntry *entry = static_cast<FieldListEntry *>(msqlCalloc(1, sizeof(FieldListEntry)));
  if (entry != nullptr) {
    msqlTrace(MSQL_DEBUG_MALLOC, "Field List Entry - malloc @ %lX of %d\n", msqlAddress(entry),
              static_cast<int>(sizeof(FieldListEntry)));
  }
  return entry;
}

void freeFieldList(FieldListEntry *fields) {
  while (fields) {
    FieldListEntry *next = fields->next;
    free(fields->table);
    free(fields->name);
    msqlTrace(MSQL_DEBUG_MALLOC, "Field List Entry- free @ %lX\n", msqlAddress(fields));
    free(fields);
    fields = next;
  }
}

bool msqlParseRow(RowList *rows, const char *payload, size_t length, int columns) {
  // The record, its values array, at most every byte of the payload plus a
  // zero per column for the texts, and the byte counts after them: they are
  // parsed into the end of that room, and kept right behind the texts only
  // when no recent row has the same.
  size_t n = static_cast<size_t>(columns);
  size_t textsRoom = length + n;
  size_t need = sizeof(QueryDataRow) + sizeof(char *) * n + textsRoom + alignof(int) + sizeof(int) * n;
  char *space = Reserve(rows, need);
  if (space == nullptr) return false;
  QueryDataRow *row = reinterpret_cast<QueryDataRow *>(space);
  // For writing: the block's next lines are fetched before the rows reach them.
  __builtin_prefetch(space + kFetchAhead, 1);
  __builtin_prefetch(space + kFetchAhead + 64, 1);
  __builtin_prefetch(space + kFetchAhead + 128, 1);
  row->columnCount = columns;
  row->values = reinterpret_cast<char **>(row + 1);
  row->next = nullptr;
  if (TracingMalloc()) TraceRowMade(row);
  char *texts = reinterpret_cast<char *>(row->values + n);
  int *lengths = AlignedInts(texts + textsRoom);
  char *textsEnd = texts;
  bool parsed = ParsePlainRow(payload, length, columns, row->values, lengths, texts, &textsEnd);
  if (!parsed) {
    // The general reading wants the zero after the payload.
    if (payload != packetBuffer) memcpy(packetBuffer, payload, length);
    packetBuffer[length] = '\0';
    parsed = ParseAnyRow(packetBuffer, length, columns, row->values, lengths, texts, &textsEnd);
  }
  if (!parsed) {
    if (TracingMalloc()) TraceRowFreed(row);
    return false;
  }
  row->lengths = nullptr;
  for (const int *recent : rows->recentLengths) {
    if (recent != nullptr && SameLengths(recent, lengths, n)) {
      row->lengths = const_cast<int *>(recent);
      break;
    }
  }
  char *end = textsEnd;
  if (row->lengths == nullptr) {
    row->lengths = AlignedInts(textsEnd);
    memmove(row->lengths, lengths, sizeof(int) * n);
    rows->recentLengths[rows->recentNext] = row->lengths;
    rows->recentNext = (rows->recentNext + 1) % MSQL_RECENT_LENGTHS;
    end = reinterpret_cast<char *>(row->lengths + n);
  }
  Commit(rows, row, static_cast<size_t>(end - space));
  return true;
}

namespace {

// The next packet of sock: straight from its read-ahead while a whole one
// is there, which is most rows of a large result, else by msqlPeekPacket.
inline int NextRowPacket(int sock, PacketReader **ahead, const char **payload) {
  int length = 0;
  if (*ahead != nullptr && msqlReaderTakeWhole(*ahead, payload, &length)) return length;
  // Reading may make, move or drop the read-ahead: it is looked up again.
  length = msqlPeekPacket(sock, payload);
  *ahead = msqlReadAheadOf(sock);
  return length;
}

// Reads packets of sock and feeds them to `feed` until the reply is done:
// true then. False after a lost connection, which `drop` and
// msqlLostConnection answer, or a malformed reply, whose rest is still on
// its way and would be taken for the replies of later requests: the
// connection is closed.
template <typename Reader>
bool FeedReply(int sock, Reader *reader, ReplyAnswer (*feed)(Reader *, const char *, size_t),
               void (*drop)(Reader *)) {
  PacketReader *ahead = msqlReadAheadOf(sock);
  for (;;) {
    const char *payload = nullptr;
    int length = NextRowPacket(sock, &ahead, &payload);
    if (length <= 0) {
      drop(reader);
      msqlLostConnection(sock);
      return false;
    }
    switch (feed(reader, payload, static_cast<size_t>(length))) {
      case REPLY_MORE: break;
      case REPLY_DONE: return true;
      case REPLY_MALFORMED: closeServerSocket(sock); return false;
    }
  }
}

}  // namespace

int readRowStream(int sock, RowList *rows, int columns) {
  RowReader reader;
  msqlRowReaderInit(&reader, rows, columns);
  if (!FeedReply(sock, &reader, msqlRowReaderFeed, msqlRowReaderDrop) || reader.refused) return -1;
  return rows->count;
}

int msqlQuery(int sock, const char *query) {
  msqlTrace(MSQL_DEBUG_QUERY, "Query = \"%s\"\n", query);
  memset(msqlErrMsg, 0, sizeof msqlErrMsg);
  currentServerSocket = sock;
  netInit();
  if (msqlTerminalGuard(sock)) return -1;
  if (!msqlFormatRequest("%d:%s\n", REQ_QUERY, query)) return -1;
  sendPacket(sock);
  QueryReply reply;
  msqlQueryReplyInit(&reply, &pendingRows, &pendingFieldRows);
  FeedReply(sock, &reply, msqlQueryReplyFeed, msqlQueryReplyDrop);
  return reply.result;
}

ResultHandle *msqlStoreResult(void) {
  if (pendingRows.head == nullptr && pendingFieldRows.head == nullptr) return nullptr;
  ResultHandle *handle = msqlNewHandle();
  if (handle == nullptr) return nullptr;
  FieldListEntry *fields = nullptr;
  if (!buildFieldList(pendingFieldRows.head, &fields)) {
    free(Stored(handle));
    return nullptr;
  }
  msqlHandleTakeRows(handle, &pendingRows);
  handle->fieldData = handle->fieldCursor = fields;
  handle->numFields = pendingFieldRows.count;
  freeRowList(&pendingFieldRows);
  return handle;
}

char **msqlFetchRow(ResultHandle *result) {
  if (result != nullptr) result->fetched = nullptr;
  if (result == nullptr || result->cursor == nullptr) return nullptr;
  QueryDataRow *row = result->cursor;
  result->cursor = row->next;
  result->fetched = row;
  const char *ahead = reinterpret_cast<const char *>(row) + kFetchAhead;
  __builtin_prefetch(ahead);
  __builtin_prefetch(ahead + 64);
  __builtin_prefetch(ahead + 128);
  return row->values;
}

const int *msqlFetchLengths(ResultHandle *result) {
  if (result == nullptr || result->fetched == nullptr) return nullptr;
  return result->fetched->lengths;
}

FieldListEntry *msqlFetchField(ResultHandle *result) {
  if (result == nullptr || result->fieldCursor == nullptr) return nullptr;
  FieldListEntry *entry = result->fieldCursor;
  result->fieldCursor = entry->next;
  return entry;
}

void msqlDataSeek(ResultHandle *result, int pos) {
  // The line has always carried no position, and traces are compared by
  // their text: it stays as it is.
  // The line has always carried no position, and traces are compared by
  // their text: it stays as it is.
  msqlTrace(MSQL_DEBUG_API, "msqlDataSeek() pos = \n");
  if (result == nullptr) return;
  QueryDataRow *row = pos < 0 ? nullptr : result->queryData;
  for (int i = 0; i < pos && row; i++) row = row->next;
  result->cursor = row;
}

void msqlFieldSeek(ResultHandle *result, int pos) {
  // No position either, as in msqlDataSeek.
  // No position either, as in msqlDataSeek.
  msqlTrace(MSQL_DEBUG_API, "msqlFieldSeek() pos = \n");
  if (result == nullptr) return;
  FieldListEntry *entry = pos < 0 ? nullptr : result->fieldData;
  for (int i = 0; i < pos && entry; i++) entry = entry->next;
  result->fieldCursor = entry;
}

int msqlNumRows(ResultHandle *result) { return result ? result->numRows : 0; }
int msqlNumFields(ResultHandle *result) { return result ? result->numFields : 0; }

void msqlFreeResult(ResultHandle *result) {
  if (result == nullptr) return;
  if (TracingMalloc()) {
    for (const QueryDataRow *row = result->queryData; row; row = row->next) TraceRowFreed(row);
  }
  FreeBlocks(Stored(result)->blocks);
  freeFieldList(result->fieldData);
  msqlTrace(MSQL_DEBUG_MALLOC, "Result Handle - Free @ %lX\n", msqlAddress(result));
  free(Stored(result));
}

void msqlResetQueryForTests() {
  FreePending();
  while (spareCount > 0) free(spareBlocks[--spareCount]);
}
