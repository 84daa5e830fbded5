"""A plain Python class with the same behaviour as factsift.factsift.AISummary.

The benchmark measures the extension against it. OpenAI is looked up as a
module global at each call, as in the extension; the benchmark sets it.
extract turns length and prompt into text with str(), length first, as the
extension does; a str subclass that str() returns becomes its format().
"""
import re
import traceback

OpenAI = None


class AISummary(object):
    def __init__(self, base_url, api_key, model_id=''):
        self.base_url = base_url
        self.api_key = api_key
        self.model_id = model_id

    def extract(self, content, prompt='', length=200):
        try:
            pattern = re.compile(r"[^\w\s]")
            content = re.sub(pattern, '', content)
            length = str(length)
            if type(length) is not str:
                length = format(length, '')
            prompt = str(prompt)
            if type(prompt) is not str:
                prompt = format(prompt, '')
            messages = f"作为一个事实信息核查员，请从如下内容中抽取出事实性信息，并根据事实信息总结出摘要, 要求字数在{length}字左右。要求: {prompt}。" + content
            client = OpenAI(base_url=self.base_url, api_key=self.api_key)
            response = client.chat.completions.create(
                model=self.model_id,
                messages=[{"role": "user", "content": messages}],
                stream=False)
            summary = response.choices[0].message.content
            return {"summary": summary, "content": content, "status": "ok"}
        except Exception as e:
            traceback.print_exc()
            return {"summary": "", "content": "", "status": "error"}

    def refined_title(self, content, prompt='', length=200):
        try:
            pattern = re.compile(r"[^\w\s]")
            content = re.sub(pattern, '', content)
            messages = prompt + "。" + content
            client = OpenAI(base_url=self.base_url, api_key=self.api_key)
            response = client.chat.completions.create(
                model=self.model_id,
                messages=[{"role": "user", "content": messages}],
                stream=False)
            title = response.choices[0].message.content
            return {"title": title, "content": content, "status": "ok"}
        except Exception as e:
            traceback.print_exc()
            return {"title": "", "content": "", "status": "error"}
