// The value tree: lookups that never fail, boolean reading, reset, and deep
// copies.
#include <gtest/gtest.h>

#include <cmath>

#include "amf/AMFObject.h"
#include "test_amf_support.h"

using namespace RTMP_LIB;

namespace {

AMFObject ThreeProps()
{
  AMFObject obj;
  obj.AddProperty(AMFObjectProperty("code", "first"));
  obj.AddProperty(AMFObjectProperty("", 7.0));
  obj.AddProperty(AMFObjectProperty("code", "second"));
  return obj;
}

struct OffsetPeek : AMFObjectProperty {
  int Offset() const { return m_nUTCOffset; }
};

void ExpectInvalid(const AMFObjectProperty &prop)
{
  EXPECT_EQ(&prop, &AMFObject::m_invalidProp);
  EXPECT_EQ(prop.GetType(), AMF_INVALID);
  EXPECT_FALSE(prop.IsValid());
  EXPECT_EQ(prop.GetPropName(), "");
  EXPECT_EQ(prop.GetNumber(), 0);
  EXPECT_FALSE(prop.GetBoolean());
  EXPECT_EQ(prop.GetString(), "");
  EXPECT_EQ(prop.GetObject().GetPropertyCount(), 0);
}

}  // namespace

TEST(AmfModel, IndexLookupOutsideTheListGivesTheInvalidProperty)
{
  AMFObject obj = ThreeProps();
  AMFObject empty;
  ExpectInvalid(obj.GetProperty(obj.GetPropertyCount()));
  ExpectInvalid(obj.GetProperty(-1));
  ExpectInvalid(obj.GetProperty(0x7fffffff));
  ExpectInvalid(empty.GetProperty(0));
  ExpectInvalid(empty.GetProperty("code"));
  EXPECT_EQ(obj.GetProperty(2).GetString(), "second");
}

TEST(AmfModel, NameLookupFindsTheFirstExactMatch)
{
  AMFObject obj = ThreeProps();
  EXPECT_EQ(obj.GetProperty("code").GetString(), "first");
  EXPECT_EQ(obj.GetProperty("").GetNumber(), 7.0);
  ExpectInvalid(obj.GetProperty("Code"));
  ExpectInvalid(obj.GetProperty("cod"));
  ExpectInvalid(obj.GetProperty("codes"));
}

TEST(AmfModel, ChainedLookupsOnMissingDataEndInEmptyValues)
{
  AMFObject obj = ThreeProps();
  EXPECT_EQ(obj.GetProperty(5).GetObject().GetProperty("x").GetObject().GetProperty(0).GetString(), "");
}

TEST(AmfModel, BooleanReadsAnyNonZeroNumber)
{
  struct Case {
    AMFObjectProperty prop;
    bool bExpected;
  };
  const Case cases[] = {
      {AMFObjectProperty("n", 2.5), true},
      {AMFObjectProperty("n", -1.0), true},
      {AMFObjectProperty("n", 0.0), false},
      {AMFObjectProperty("n", std::nan("")), true},
      {AMFObjectProperty("b", true), true},
      {AMFObjectProperty("b", false), false},
      {AMFObjectProperty("s", "true"), false},
      {AMFObjectProperty("o", ThreeProps()), false},
  };
  for (const Case &c : cases)
    EXPECT_EQ(c.prop.GetBoolean(), c.bExpected) << c.prop.GetPropName();
}

TEST(AmfModel, ConstructorsSetTypeAndValue)
{
  EXPECT_EQ(AMFObjectProperty("a", 1.5).GetType(), AMF_NUMBER);
  EXPECT_EQ(AMFObjectProperty("a", true).GetNumber(), 1);
  AMFObjectProperty literal("a", "text");
  EXPECT_EQ(literal.GetType(), AMF_STRING);
  EXPECT_EQ(literal.GetString(), "text");
  AMFObjectProperty object("o", ThreeProps());
  EXPECT_EQ(object.GetType(), AMF_OBJECT);
  EXPECT_EQ(object.GetObject().GetPropertyCount(), 3);
}

TEST(AmfModel, ResetKeepsNameAndUtcOffset)
{
  AMFObjectProperty str("level", "status");
  str.Reset();
  EXPECT_EQ(str.GetPropName(), "level");
  EXPECT_EQ(str.GetType(), AMF_INVALID);
  EXPECT_EQ(str.GetString(), "");

  // A named date: "d" = 100 ms, time zone -60.
  std::vector<char> date = amftest::Hex("00 01 64 0B 40 59 00 00 00 00 00 00 FF C4");
  OffsetPeek prop;
  ASSERT_EQ(prop.Decode(date.data(), amftest::Size(date), true), 14);
  ASSERT_EQ(prop.GetType(), AMF_DATE);
  prop.Reset();
  EXPECT_EQ(prop.GetNumber(), 0);
  EXPECT_EQ(prop.GetType(), AMF_INVALID);
  EXPECT_EQ(prop.GetPropName(), "d");
  EXPECT_EQ(prop.Offset(), -60);
}

TEST(AmfModel, CopiesAreDeep)
{
  AMFObject inner;
  inner.AddProperty(AMFObjectProperty("leaf", "x"));
  AMFObject middle;
  middle.AddProperty(AMFObjectProperty("inner", inner));
  AMFObjectProperty source("middle", middle);

  AMFObjectProperty copy(source);
  AMFObjectProperty assigned;
  assigned = source;
  source.Reset();
  EXPECT_EQ(source.GetObject().GetPropertyCount(), 0);

  for (const AMFObjectProperty *p : {&copy, &assigned}) {
    const AMFObjectProperty &leaf =
        p->GetObject().GetProperty("inner").GetObject().GetProperty("leaf");
    EXPECT_EQ(leaf.GetString(), "x");
  }

  AMFObject objCopy;
  {
    AMFObject temp = middle;
    objCopy = temp;
  }
  middle.Reset();
  EXPECT_EQ(objCopy.GetProperty(0).GetObject().GetProperty(0).GetString(), "x");
}

TEST(AmfModel, ClassDefinitionMembers)
{
  AMF3ClassDefinition def("flex.Item", true, false);
  def.AddProperty("a");
  def.AddProperty("b");
  EXPECT_TRUE(def.isExternalizable());
  EXPECT_FALSE(def.isDynamic());
  EXPECT_EQ(def.GetMemberCount(), 2);
  EXPECT_EQ(def.GetProperty(1), "b");
  EXPECT_EQ(&def.GetProperty(2), &strEmpty);
  EXPECT_EQ(&def.GetProperty(-1), &strEmpty);
}
