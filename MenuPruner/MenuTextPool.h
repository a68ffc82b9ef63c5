// Text pools. The menu tables are written with their texts in place, as the board's setup
// documents quote them. At compile time every distinct text of a file's tables is laid once
// into one byte pool, and each row keeps only the text's 16-bit offset there: the image carries
// no pointer, and so no relocation, per row.
//
// A row type that holds texts says how many (TEXT_COUNT), hands them out (TextAt) and names
// the row it compacts to (COMPACT, made by Compact with the pool).
#ifndef MENU_PRUNER_MENU_TEXT_POOL_H_
#define MENU_PRUNER_MENU_TEXT_POOL_H_

#include "MemRoutines.h"
#include "Uefi.h"

// Offset of a text in its pool.
typedef UINT16 MENU_TEXT;

template <typename T, UINTN N>
constexpr UINTN ArrayCount(const T (&)[N]) {
  return N;
}

constexpr UINTN MenuTextSize(const CHAR8 *Text) {
  UINTN Size = 0;
  while (Text[Size] != 0) {
    ++Size;
  }
  return Size + 1;
}

// Not defined: reaching it during the build means a row's text is missing from its pool.
MENU_TEXT MenuTextNotInPool();

// The texts of some tables, in table order; null where a row has no text.
template <UINTN N>
struct MENU_TEXT_LIST {
  const CHAR8 *Texts[N];
};

template <typename ROW, UINTN N>
constexpr MENU_TEXT_LIST<N * ROW::TEXT_COUNT> MenuTextsOf(const ROW (&Rows)[N]) {
  MENU_TEXT_LIST<N * ROW::TEXT_COUNT> List{};
  for (UINTN Row = 0; Row < N; ++Row) {
    for (UINTN Text = 0; Text < ROW::TEXT_COUNT; ++Text) {
      List.Texts[Row * ROW::TEXT_COUNT + Text] = Rows[Row].TextAt(Text);
    }
  }
  return List;
}

template <UINTN... COUNTS>
constexpr MENU_TEXT_LIST<(COUNTS + ...)> JoinMenuTexts(const MENU_TEXT_LIST<COUNTS> &...Lists) {
  MENU_TEXT_LIST<(COUNTS + ...)> Joined{};
  UINTN Next = 0;
  auto Append = [&](const auto &List) {
    for (const CHAR8 *Text : List.Texts) {
      Joined.Texts[Next++] = Text;
    }
  };
  (Append(Lists), ...);
  return Joined;
}

template <UINTN N>
constexpr bool FirstOfItsText(const MENU_TEXT_LIST<N> &List, UINTN Index) {
  if (List.Texts[Index] == nullptr) {
    return false;
  }
  for (UINTN Earlier = 0; Earlier < Index; ++Earlier) {
    if (List.Texts[Earlier] != nullptr && SameText(List.Texts[Earlier], List.Texts[Index])) {
      return false;
    }
  }
  return true;
}

template <UINTN N>
constexpr UINTN MenuTextPoolSize(const MENU_TEXT_LIST<N> &List) {
  UINTN Size = 0;
  for (UINTN Index = 0; Index < N; ++Index) {
    if (FirstOfItsText(List, Index)) {
      Size += MenuTextSize(List.Texts[Index]);
    }
  }
  return Size;
}

template <UINTN SIZE>
struct MENU_TEXT_POOL {
  static_assert(SIZE <= 0x10000, "pool offsets are 16 bits");
  CHAR8 Bytes[SIZE];

  const CHAR8 *At(MENU_TEXT Offset) const { return &Bytes[Offset]; }

  constexpr MENU_TEXT OffsetOf(const CHAR8 *Text) const {
    for (UINTN Offset = 0; Offset < SIZE; Offset += MenuTextSize(&Bytes[Offset])) {
      if (SameText(&Bytes[Offset], Text)) {
        return static_cast<MENU_TEXT>(Offset);
      }
    }
    return MenuTextNotInPool();
  }
};

// Lays each distinct text once, in the order the tables first give it.
template <UINTN SIZE, UINTN N>
constexpr MENU_TEXT_POOL<SIZE> BuildMenuTextPool(const MENU_TEXT_LIST<N> &List) {
  MENU_TEXT_POOL<SIZE> Pool{};
  UINTN End = 0;
  for (UINTN Index = 0; Index < N; ++Index) {
    if (FirstOfItsText(List, Index)) {
      for (UINTN Byte = 0; Byte < MenuTextSize(List.Texts[Index]); ++Byte) {
        Pool.Bytes[End++] = List.Texts[Index][Byte];
      }
    }
  }
  return Pool;
}

// A table of compact rows, each text replaced by its pool offset.
template <typename ROW, UINTN N>
struct MENU_TABLE {
  ROW Rows[N];
};

template <typename ROW, UINTN N, typename POOL>
constexpr MENU_TABLE<typename ROW::COMPACT, N> CompactMenuTable(const ROW (&Rows)[N],
                                                                const POOL &Pool) {
  MENU_TABLE<typename ROW::COMPACT, N> Table{};
  for (UINTN Row = 0; Row < N; ++Row) {
    Table.Rows[Row] = Rows[Row].Compact(Pool);
  }
  return Table;
}

#endif  // MENU_PRUNER_MENU_TEXT_POOL_H_
