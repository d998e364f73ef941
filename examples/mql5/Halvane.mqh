//+------------------------------------------------------------------+
//| Halvane.mqh: terminal-side declarations, readers and decisions   |
//| for halvane.dll, the client of the trading-discipline service.   |
//|                                                                  |
//| Install: the 64-bit halvane.dll into the data folder's           |
//| MQL5\Libraries, this file into MQL5\Include, and include it as   |
//| #include <Halvane.mqh> (angle brackets: the Include folder; a     |
//| name in quotation marks is looked for beside the including file  |
//| only). Allow DLL imports in the terminal's options and for the   |
//| program. Every call blocks the calling thread for one HTTPS      |
//| exchange, 65 s at the very most: call from a timer of an expert  |
//| advisor or from a script, never from an indicator or OnTick.     |
//+------------------------------------------------------------------+
#property strict

#import "halvane.dll"
// Strings are UTF-16; the broker time is a 64-bit long. The result is a string initialised
// to a capacity and passed by reference; resultLength is that capacity in characters,
// terminating zero included.
void GetDailyQuiz(string key, string account, string &result, int resultLength);
void GetDailyQuizV2(string key, string account, long brokerTime, string &result, int resultLength);
void SubmitQuizAnswers(string key, string account, string answers, string &result, int resultLength);
void SubmitQuizAnswersV2(string key, string account, string answers, long brokerTime, string &result, int resultLength);
void GetTodayStatus(string key, string account, string &result, int resultLength);
void GetTodayStatusV2(string key, string account, long brokerTime, string &result, int resultLength);
void MarkTradingDay(string key, string account, string &result, int resultLength);
#import

// Result buffers, in characters with the terminating zero. A result that does not fit is
// never cut: the module answers "ERROR" instead. The module refuses a reply over 4 MiB
// (4194304 bytes) as a read failure, and each byte becomes at most one character, so every
// quiz it passes on fits HALVANE_QUIZ_CAPACITY: "ERROR" from the quiz always means no usable
// reply (a longer quiz included), never a buffer too small. The other results are a few
// words and numbers; a refusal message of more than 1023 characters reads as "ERROR".
#define HALVANE_QUIZ_CAPACITY   4194305
#define HALVANE_RESULT_CAPACITY 1024

// Outcomes every reader reports.
enum HalvaneOutcome
  {
   HALVANE_OK,                 // a verified answer from the service
   HALVANE_REFUSED,            // the service refused; see the message
   HALVANE_SIGNATURE_INVALID,  // a reply claimed success but its signature did not verify
   HALVANE_ERROR               // no usable answer: network, server, memory, or no result at all
  };

// Today's status as read from GetTodayStatus's result.
struct HalvaneStatus
  {
   HalvaneOutcome    outcome;
   bool              completed;      // the quiz is done today
   string            readiness;      // the service's verdict: ready, caution, not_ready, ...
   double            volumePercent;  // allowed share of the usual volume, 0 to 100; 0 if not such a number
   bool              drawdownHit;    // true unless the flag is exactly "false"
   bool              plain;          // exactly four fields: the unsigned flag cannot have moved the percentage
   string            message;        // the refusal's message
  };

// One question of the day's quiz, for showing it and checking the trader's choices.
struct HalvaneQuestion
  {
   string            number;   // as the quiz gives it: the answer's key
   string            text;
   string            letters;  // "|a|b|c|": the option letters
   string            options;  // one line per option, "a) text"
  };

//--- A substring, empty for a length of zero or less (never "to the end").
string HalvaneSubstring(const string text, const int start, const int length)
  {
   if(length <= 0 || start < 0 || start >= StringLen(text))
      return "";
   return StringSubstr(text, start, length);
  }

//--- A reply field as the module reads it: the first "name": anywhere, spaces after the
//--- colon skipped (nothing else), then a quoted value to the next quotation mark, or a
//--- bare value to the next comma or closing brace. Empty when there is none.
string HalvaneReplyField(const string reply, const string name)
  {
   const string pattern = "\"" + name + "\":";
   int at = StringFind(reply, pattern);
   if(at < 0)
      return "";
   const int size = StringLen(reply);
   at += StringLen(pattern);
   while(at < size && StringGetCharacter(reply, at) == ' ')
      at++;
   if(at >= size)
      return "";
   if(StringGetCharacter(reply, at) == '"')
     {
      const int close = StringFind(reply, "\"", at + 1);
      return close < 0 ? "" : HalvaneSubstring(reply, at + 1, close - at - 1);
     }
   for(int i = at; i < size; i++)
     {
      const ushort c = StringGetCharacter(reply, i);
      if(c == ',' || c == '}')
         return HalvaneSubstring(reply, at, i - at);
     }
   return "";
  }

//--- JSON whitespace.
bool HalvaneIsSpace(const ushort c)
  {
   return c == ' ' || c == '\t' || c == '\r' || c == '\n';
  }

//--- Whether a text is one whole object as the module requires of a quiz: whitespace, one
//--- object whose strings and brackets all close, then nothing but whitespace.
bool HalvaneIsWholeObject(const string text)
  {
   const int size = StringLen(text);
   int i = 0;
   while(i < size && HalvaneIsSpace(StringGetCharacter(text, i)))
      i++;
   if(i >= size || StringGetCharacter(text, i) != '{')
      return false;
   string open = "";  // the brackets not yet closed, innermost last
   for(; i < size; i++)
     {
      const ushort c = StringGetCharacter(text, i);
      if(c == '"')
        {
         for(i++; i < size && StringGetCharacter(text, i) != '"'; i++)
            if(StringGetCharacter(text, i) == '\\')
               i++;
         if(i >= size)
            return false;
        }
      else if(c == '{' || c == '[')
         open += ShortToString(c);
      else if(c == '}' || c == ']')
        {
         const int depth = StringLen(open);
         if(depth == 0 || StringGetCharacter(open, depth - 1) != (c == '}' ? '{' : '['))
            return false;
         open = HalvaneSubstring(open, 0, depth - 1);
         if(depth == 1)
           {
            for(i++; i < size; i++)
               if(!HalvaneIsSpace(StringGetCharacter(text, i)))
                  return false;
            return true;
           }
        }
     }
   return false;
  }

//--- The allowed volume percentage: plain digits with at most one decimal point, 0 to 100.
//--- Anything else reads as 0, which allows no trading.
double HalvaneReadPercent(const string text)
  {
   const int size = StringLen(text);
   int points = 0, digits = 0;
   for(int i = 0; i < size; i++)
     {
      const ushort c = StringGetCharacter(text, i);
      if(c == '.')
         points++;
      else if(c >= '0' && c <= '9')
         digits++;
      else
         return 0.0;
     }
   if(digits == 0 || points > 1)
      return 0.0;
   const double value = StringToDouble(text);
   return value <= 100.0 ? value : 0.0;
  }

//--- The texts every export may give instead of its own: true when result is one of them.
bool HalvaneFixedOutcome(const string result, HalvaneOutcome &outcome)
  {
   if(result == "" || result == "ERROR")
      outcome = HALVANE_ERROR;
   else if(result == "SIGNATURE_INVALID")
      outcome = HALVANE_SIGNATURE_INVALID;
   else
      return false;
   return true;
  }

//+------------------------------------------------------------------+
//| Readers: each result text exactly as the module gives it.         |
//+------------------------------------------------------------------+
//--- GetDailyQuiz: the quiz is the whole signed reply, recognised by its status field as the
//--- module reads it (any whitespace, field order or layout); anything else is a message.
HalvaneOutcome HalvaneReadQuiz(const string result, string &quizJson, string &message)
  {
   HalvaneOutcome outcome;
   quizJson = "";
   message = "";
   if(HalvaneFixedOutcome(result, outcome))
      return outcome;
   if(HalvaneReplyField(result, "status") == "success" && HalvaneIsWholeObject(result))
     {
      quizJson = result;
      return HALVANE_OK;
     }
   message = result;
   return HALVANE_REFUSED;
  }

//--- The index of the last '|' before `end`, or -1. The readers find the fields from the right
//--- themselves rather than rely on how a split treats empty fields.
int HalvaneLastBar(const string text, const int end)
  {
   for(int i = end - 1; i >= 0; i--)
      if(StringGetCharacter(text, i) == '|')
         return i;
   return -1;
  }

//--- SubmitQuizAnswers: "success|<readiness>|<percent>", read from the right.
HalvaneOutcome HalvaneReadAnswers(const string result, string &readiness, double &volumePercent, string &message)
  {
   HalvaneOutcome outcome;
   readiness = "";
   volumePercent = 0.0;
   message = "";
   if(HalvaneFixedOutcome(result, outcome))
      return outcome;
   const int size = StringLen(result);
   const int percentBar = HalvaneLastBar(result, size);
   if(StringFind(result, "success|") == 0 && percentBar > 7)
     {
      readiness = HalvaneSubstring(result, 8, percentBar - 8);
      volumePercent = HalvaneReadPercent(HalvaneSubstring(result, percentBar + 1, size - percentBar - 1));
      return HALVANE_OK;
     }
   message = result;
   return HALVANE_REFUSED;
  }

//--- GetTodayStatus: "not_completed", or "completed|<readiness>|<percent>|<drawdown>" read
//--- from the right (the readiness may hold a '|'). The drawdown flag is outside the reply's
//--- signature, so only the exact text "false" counts as clear.
HalvaneOutcome HalvaneReadStatus(const string result, HalvaneStatus &status)
  {
   status.completed = false;
   status.readiness = "";
   status.volumePercent = 0.0;
   status.drawdownHit = true;
   status.plain = false;
   status.message = "";
   HalvaneOutcome fixed;
   status.outcome = HalvaneFixedOutcome(result, fixed) ? fixed : HALVANE_OK;
   if(status.outcome != HALVANE_OK || result == "not_completed")
      return status.outcome;
   const int size = StringLen(result);
   const int flagBar = HalvaneLastBar(result, size);
   const int percentBar = HalvaneLastBar(result, flagBar);
   if(StringFind(result, "completed|") == 0 && percentBar > 9)
     {
      status.completed = true;
      status.readiness = HalvaneSubstring(result, 10, percentBar - 10);
      status.volumePercent = HalvaneReadPercent(HalvaneSubstring(result, percentBar + 1, flagBar - percentBar - 1));
      status.drawdownHit = HalvaneSubstring(result, flagBar + 1, size - flagBar - 1) != "false";
      status.plain = HalvaneLastBar(result, percentBar) == 9;
      return status.outcome;
     }
   status.message = result;
   status.outcome = HALVANE_REFUSED;
   return status.outcome;
  }

//--- MarkTradingDay: "success", the service's own word (e.g. already_marked), or the empty
//--- text when the service could not be reached. This reply is not signed.
HalvaneOutcome HalvaneReadMark(const string result, string &word)
  {
   word = result;
   if(result == "" || result == "ERROR")
      return HALVANE_ERROR;
   return result == "success" ? HALVANE_OK : HALVANE_REFUSED;
  }

//+------------------------------------------------------------------+
//| Decisions: the day's verdict, in one place.                        |
//+------------------------------------------------------------------+
//--- New trades are allowed today only after a verified completed status whose drawdown flag
//--- is exactly "false" and whose allowed volume is above zero. ERROR, SIGNATURE_INVALID, a
//--- refusal, an unfinished quiz and a text whose fields could have shifted all mean no.
bool HalvaneTradingAllowed(const HalvaneStatus &status)
  {
   return status.outcome == HALVANE_OK && status.completed && status.plain && !status.drawdownHit &&
          status.volumePercent > 0.0;
  }

//--- A volume rounded down to the volume step; zero below the minimum.
double HalvaneRoundVolume(const double volume, const double step, const double minimum)
  {
   if(volume <= 0.0 || step <= 0.0)
      return 0.0;
   // The small margin keeps 0.15 / 0.01 from flooring to 14.
   const double rounded = NormalizeDouble(MathFloor(volume / step + 1e-7) * step, 8);
   return rounded < minimum ? 0.0 : rounded;
  }

//--- The allowed volume for a usual volume and a symbol's step and minimum.
double HalvaneVolumeFor(const HalvaneStatus &status, const double usualVolume, const double step,
                        const double minimum)
  {
   if(!HalvaneTradingAllowed(status))
      return 0.0;
   return HalvaneRoundVolume(usualVolume * status.volumePercent / 100.0, step, minimum);
  }

//--- The allowed volume for a symbol: the usual volume times the allowed percentage, rounded
//--- down to the symbol's volume step, zero below its minimum or when trading is not allowed.
double HalvaneAllowedVolume(const HalvaneStatus &status, const string symbol, const double usualVolume)
  {
   return HalvaneVolumeFor(status, usualVolume, SymbolInfoDouble(symbol, SYMBOL_VOLUME_STEP),
                           SymbolInfoDouble(symbol, SYMBOL_VOLUME_MIN));
  }

//+------------------------------------------------------------------+
//| Calls: each export with its buffer, then its reader.               |
//+------------------------------------------------------------------+
HalvaneOutcome HalvaneGetDailyQuiz(const string key, const string account, const long brokerTime,
                                   string &quizJson, string &message)
  {
   string result;
   StringInit(result, HALVANE_QUIZ_CAPACITY, 0);
   GetDailyQuizV2(key, account, brokerTime, result, HALVANE_QUIZ_CAPACITY);
   return HalvaneReadQuiz(result, quizJson, message);
  }

HalvaneOutcome HalvaneSubmitQuizAnswers(const string key, const string account, const string answers,
                                        const long brokerTime, string &readiness, double &volumePercent,
                                        string &message)
  {
   string result;
   StringInit(result, HALVANE_RESULT_CAPACITY, 0);
   SubmitQuizAnswersV2(key, account, answers, brokerTime, result, HALVANE_RESULT_CAPACITY);
   return HalvaneReadAnswers(result, readiness, volumePercent, message);
  }

HalvaneOutcome HalvaneGetTodayStatus(const string key, const string account, const long brokerTime,
                                     HalvaneStatus &status)
  {
   string result;
   StringInit(result, HALVANE_RESULT_CAPACITY, 0);
   GetTodayStatusV2(key, account, brokerTime, result, HALVANE_RESULT_CAPACITY);
   return HalvaneReadStatus(result, status);
  }

HalvaneOutcome HalvaneMarkTradingDay(const string key, const string account, string &word)
  {
   string result;
   StringInit(result, HALVANE_RESULT_CAPACITY, 0);
   MarkTradingDay(key, account, result, HALVANE_RESULT_CAPACITY);
   return HalvaneReadMark(result, word);
  }

//+------------------------------------------------------------------+
//| The quiz's questions, for showing them as numbered questions.      |
//+------------------------------------------------------------------+
int HalvaneJsonSpace(const string text, int at)
  {
   while(at < StringLen(text) && HalvaneIsSpace(StringGetCharacter(text, at)))
      at++;
   return at;
  }

//--- A string at `at` (its opening quotation mark), decoded; the index after it, or -1.
int HalvaneJsonString(const string text, int at, string &value)
  {
   value = "";
   const int size = StringLen(text);
   if(at >= size || StringGetCharacter(text, at) != '"')
      return -1;
   for(at++; at < size; at++)
     {
      ushort c = StringGetCharacter(text, at);
      if(c == '"')
         return at + 1;
      if(c == '\\' && at + 1 < size)
        {
         c = StringGetCharacter(text, ++at);
         if(c == 'n')
            c = '\n';
         else if(c == 't')
            c = '\t';
         else if(c == 'r')
            c = '\r';
         else if(c == 'b' || c == 'f')
            c = ' ';
         else if(c == 'u' && at + 4 < size)
           {
            c = 0;
            for(int h = 0; h < 4; h++)
              {
               const ushort d = StringGetCharacter(text, ++at);
               c = (ushort)(c * 16 + (d <= '9' ? d - '0' : (d | 0x20) - 'a' + 10));
              }
           }
        }
      value += ShortToString(c);
     }
   return -1;
  }

//--- Skips the value at `at`; the index after it, or -1.
int HalvaneJsonSkip(const string text, int at)
  {
   const int size = StringLen(text);
   at = HalvaneJsonSpace(text, at);
   if(at >= size)
      return -1;
   string ignored;
   ushort c = StringGetCharacter(text, at);
   if(c == '"')
      return HalvaneJsonString(text, at, ignored);
   if(c == '{' || c == '[')
     {
      int depth = 0;
      for(; at < size; at++)
        {
         c = StringGetCharacter(text, at);
         if(c == '"')
           {
            at = HalvaneJsonString(text, at, ignored) - 1;
            if(at < 0)
               return -1;
           }
         else if(c == '{' || c == '[')
            depth++;
         else if((c == '}' || c == ']') && --depth == 0)
            return at + 1;
        }
      return -1;
     }
   for(; at < size; at++)
     {
      c = StringGetCharacter(text, at);
      if(c == ',' || c == '}' || c == ']' || HalvaneIsSpace(c))
         break;
     }
   return at;
  }

//--- The index of the value of member `name` of the object at `at`, or -1.
int HalvaneJsonMember(const string text, int at, const string name)
  {
   at = HalvaneJsonSpace(text, at);
   if(at >= StringLen(text) || StringGetCharacter(text, at) != '{')
      return -1;
   at = HalvaneJsonSpace(text, at + 1);
   while(at < StringLen(text) && StringGetCharacter(text, at) == '"')
     {
      string member;
      at = HalvaneJsonString(text, at, member);
      if(at < 0)
         return -1;
      at = HalvaneJsonSpace(text, at);
      if(at >= StringLen(text) || StringGetCharacter(text, at) != ':')
         return -1;
      at = HalvaneJsonSpace(text, at + 1);
      if(member == name)
         return at;
      at = HalvaneJsonSkip(text, at);
      if(at < 0)
         return -1;
      at = HalvaneJsonSpace(text, at);
      if(at < StringLen(text) && StringGetCharacter(text, at) == ',')
         at = HalvaneJsonSpace(text, at + 1);
     }
   return -1;
  }

//--- A member's value as text: a string decoded, anything else as written.
string HalvaneJsonText(const string text, const int objectAt, const string name)
  {
   const int at = HalvaneJsonMember(text, objectAt, name);
   if(at < 0)
      return "";
   string value;
   if(StringGetCharacter(text, at) == '"')
     {
      HalvaneJsonString(text, at, value);
      return value;
     }
   return HalvaneSubstring(text, at, HalvaneJsonSkip(text, at) - at);
  }

//--- The start of each element of the array at `at`; the element count.
int HalvaneJsonElements(const string text, int at, int &starts[])
  {
   ArrayResize(starts, 0);
   if(at < 0)
      return 0;
   at = HalvaneJsonSpace(text, at);
   if(at >= StringLen(text) || StringGetCharacter(text, at) != '[')
      return 0;
   at = HalvaneJsonSpace(text, at + 1);
   while(at < StringLen(text) && StringGetCharacter(text, at) != ']')
     {
      const int count = ArraySize(starts);
      ArrayResize(starts, count + 1);
      starts[count] = at;
      at = HalvaneJsonSkip(text, at);
      if(at < 0)
         return count;
      at = HalvaneJsonSpace(text, at);
      if(at < StringLen(text) && StringGetCharacter(text, at) == ',')
         at = HalvaneJsonSpace(text, at + 1);
     }
   return ArraySize(starts);
  }

//--- The quiz's questions in order; the count (0 when the quiz has none it can read).
int HalvaneQuizQuestions(const string quizJson, HalvaneQuestion &questions[])
  {
   int items[];
   const int count = HalvaneJsonElements(quizJson, HalvaneJsonMember(quizJson, 0, "quiz"), items);
   ArrayResize(questions, count);
   for(int q = 0; q < count; q++)
     {
      questions[q].number = HalvaneJsonText(quizJson, items[q], "number");
      questions[q].text = HalvaneJsonText(quizJson, items[q], "question");
      questions[q].letters = "|";
      questions[q].options = "";
      int options[];
      const int optionCount = HalvaneJsonElements(quizJson, HalvaneJsonMember(quizJson, items[q], "options"), options);
      for(int o = 0; o < optionCount; o++)
        {
         const string letter = HalvaneJsonText(quizJson, options[o], "letter");
         questions[q].letters += letter + "|";
         questions[q].options += (o == 0 ? "" : "\n") + letter + ") " + HalvaneJsonText(quizJson, options[o], "text");
        }
     }
   return count;
  }

//--- Builds "1=a&2=c&3=b" from the trader's choices, one option letter per question in the
//--- quiz's order, separated by spaces or commas ("a, c b"). False, with the reason, unless
//--- there is exactly one valid choice per question.
bool HalvaneBuildAnswers(const HalvaneQuestion &questions[], const string choices, string &answers, string &problem)
  {
   string spaced = choices;
   StringReplace(spaced, ",", " ");
   StringToLower(spaced);
   string words[], picked[];
   const int wordCount = StringSplit(spaced, ' ', words);
   for(int w = 0; w < wordCount; w++)
     {
      if(words[w] == "")
         continue;
      const int count = ArraySize(picked);
      ArrayResize(picked, count + 1);
      picked[count] = words[w];
     }
   answers = "";
   problem = "";
   const int questionCount = ArraySize(questions);
   if(questionCount == 0)
      problem = "the quiz has no questions";
   else if(ArraySize(picked) != questionCount)
      problem = StringFormat("%d choices for %d questions", ArraySize(picked), questionCount);
   for(int q = 0; q < questionCount && problem == ""; q++)
     {
      if(StringFind(questions[q].letters, "|" + picked[q] + "|") < 0)
         problem = "question " + questions[q].number + " has no option " + picked[q];
      answers += (q == 0 ? "" : "&") + questions[q].number + "=" + picked[q];
     }
   if(problem != "")
      answers = "";
   return problem == "";
  }
//+------------------------------------------------------------------+
