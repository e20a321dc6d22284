#include "tool/utc_time.h"

namespace ringlens::tool {

namespace {

void digits(char* at, int64_t value, int count) {
  for (int i = count - 1; i >= 0; --i) {
    at[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
}

}  // namespace

void formatUtc(int64_t seconds, char (&text)[20]) {
  constexpr int64_t DAY = 86400;
  int64_t days = seconds / DAY, inDay = seconds % DAY;
  if (inDay < 0) {  // floor division for times before 1970
    inDay += DAY;
    --days;
  }
  // Days since 1970-01-01 to a proleptic Gregorian date, counting in eras
  // of 400 years (146097 days) that begin on 1 March.
  int64_t z = days + 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t dayOfEra = z - era * 146097;                                                // 0 to 146096
  int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;  // 0 to 399
  int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);  // 0 to 365, from 1 March
  int64_t monthFromMarch = (5 * dayOfYear + 2) / 153;                                  // 0 to 11
  int64_t day = dayOfYear - (153 * monthFromMarch + 2) / 5 + 1;
  int64_t month = monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9;
  int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  if (year < 0) year = 0;
  if (year > 9999) year = 9999;

  digits(text, year, 4);
  text[4] = '-';
  digits(text + 5, month, 2);
  text[7] = '-';
  digits(text + 8, day, 2);
  text[10] = 'T';
  digits(text + 11, inDay / 3600, 2);
  text[13] = ':';
  digits(text + 14, inDay / 60 % 60, 2);
  text[16] = ':';
  digits(text + 17, inDay % 60, 2);
  text[19] = 'Z';
}

}  // namespace ringlens::tool
